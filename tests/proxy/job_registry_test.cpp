// The job registry with real jobs in the test process: an ended job is swept
// at once and its transport ends in the reaper, so that a transport that
// takes seconds to end holds up nobody who asks the registry meanwhile, and
// its names stay taken until it has gone.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <future>

#include "proxy/job_registry.h"
#include "proxy/proxy.h"
#include "test_support.h"
#include "utils/process.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::seconds;

// A transport that notes SIGTERM in a file and goes on, as one that ignores
// it does; only the SIGKILL of the job's end stops it. It says when its trap
// is set, so that no SIGTERM comes before.
Velk::TransportHandle stubbornTransport(const TempDir& files) {
    const std::string script = "trap 'echo term > " + (files / "term").string() + "' TERM; echo up > " +
                               (files / "up").string() + "; while :; do sleep 0.05; done";
    return Velk::Utils::runChildProcessHeld("/bin/sh", {"-c", script}, {});
}

bool processEnded(int pidFd) {
    pollfd ended{pidFd, POLLIN, 0};
    return poll(&ended, 1, 0) > 0;
}

TEST(JobRegistry, AnEndedJobIsSweptAtOnceAndItsTransportKeepsItsNamesUntilTheReaperHasKilledIt) {
    Velk::startProxy();
    TempDir files;
    Velk::Utils::WakeEvent ended;
    Velk::JobRegistry registry(ended);
    Velk::TransportHandle transport = stubbornTransport(files);
    const Fd transportHeld(static_cast<int>(syscall(SYS_pidfd_open, transport.pid(), 0)));
    ASSERT_GE(transportHeld.get(), 0);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(files / "up"); }, seconds(5)));

    int client[2] = {-1, -1};
    int transportPair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, client), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, transportPair), 0);
    const Velk::JobFiles names{(files / "proxy_9_0").string(), (files / "sam_9_0").string()};
    writeFile(names.samPath, "user:hash\n");
    const auto socketOf = [&](size_t index) {
        return (files / ("proxy_9_" + std::to_string(index))).string();
    };
    const pid_t transportPid = transport.pid();
    registry.add({client[1],
                  transportPair[1],
                  names,
                  std::move(transport),
                  {9, "ann", "127.0.0.1", 0, transportPid},
                  {}});
    // The client leaves: the job ends by itself, says so and waits for the sweep.
    close(client[0]);
    ASSERT_TRUE(waitUntil([&] { return processEnded(ended.fd()); }, seconds(5)));
    EXPECT_EQ(registry.sweepEnded(), std::vector<uint32_t>{9});
    EXPECT_EQ(registry.countSession(9), 0U);
    EXPECT_FALSE(processEnded(transportHeld.get())) << "the sweep waited for the transport";
    EXPECT_EQ(registry.freeIndex(9, socketOf), 1U) << "the ending transport's socket name was given again";

    // After the drain the reaper sends SIGTERM, after the grace SIGKILL, then
    // it removes the files.
    Velk::TransportReaper& reaper = registry.transports();
    ASSERT_TRUE(waitUntil(
        [&] {
            if (processEnded(reaper.fd())) {
                reaper.onReady();
            }
            return reaper.holding() == 0;
        },
        Velk::TransportReaper::drain + Velk::TransportReaper::grace + seconds(5)));
    EXPECT_TRUE(fs::exists(files / "term"));
    EXPECT_TRUE(processEnded(transportHeld.get()));
    EXPECT_FALSE(fs::exists(names.samPath));
    EXPECT_EQ(registry.freeIndex(9, socketOf), 0U);
    close(transportPair[0]);
    Velk::proxyRunning.exchange(false);
}

}  // namespace
