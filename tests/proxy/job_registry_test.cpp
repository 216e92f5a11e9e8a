// The job registry with real jobs in the test process: a job leaves the list
// under the lock and is destroyed after it, so that a transport that takes
// seconds to end holds up nobody who asks the registry meanwhile.
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
    return Velk::Utils::runChildProcessBack("/bin/sh", {"-c", script}, {});
}

bool processEnded(int pidFd) {
    pollfd ended{pidFd, POLLIN, 0};
    return poll(&ended, 1, 0) > 0;
}

TEST(JobRegistry, AnEndedJobIsDestroyedOutsideTheLockWhileItsTransportTakesItsTime) {
    Velk::proxyRunning.exchange(true);
    TempDir files;
    Velk::JobRegistry registry;
    Velk::TransportHandle transport = stubbornTransport(files);
    const pid_t transportPid = transport.first;
    const Fd transportHeld(static_cast<int>(syscall(SYS_pidfd_open, transportPid, 0)));
    ASSERT_GE(transportHeld.get(), 0);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(files / "up"); }, seconds(5)));

    int client[2] = {-1, -1};
    int transportPair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, client), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, transportPair), 0);
    bool announced = false;
    registry.add(client[1], transportPair[1], {(files / "proxy_9_0").string(), (files / "sam_9_0").string()},
                 std::move(transport), 9, "127.0.0.1", {}, [&] { announced = true; });
    EXPECT_TRUE(announced);
    // The client leaves: the job ends by itself and waits for the sweep.
    close(client[0]);
    ASSERT_TRUE(waitUntil([&] { return registry.countRunning() == 0; }, seconds(5)));
    EXPECT_EQ(registry.countSession(9), 1U);

    auto sweep = std::async(std::launch::async, [&] { return registry.takeEnded().jobs().size(); });
    // The job's end has begun once its transport was sent SIGTERM.
    ASSERT_TRUE(waitUntil([&] { return fs::exists(files / "term"); }, seconds(5)));
    EXPECT_EQ(registry.countSession(9), 0U);
    EXPECT_FALSE(processEnded(transportHeld.get()))
        << "the registry answered only after the job's end had waited for its transport";
    EXPECT_EQ(sweep.get(), 1U);
    EXPECT_TRUE(processEnded(transportHeld.get()));
    close(transportPair[0]);
    Velk::proxyRunning.exchange(false);
}

}  // namespace
