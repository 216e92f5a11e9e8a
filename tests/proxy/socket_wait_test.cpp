// The wait for the transport's socket through the proxy's one directory
// watch: each wait ends when the socket appears while it waits, from one
// wait to the next and after the directory was replaced. The waits have no
// useful time-out: one that missed its socket would hang the test.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "proxy/socket_wait.h"
#include "test_support.h"
#include "utils/sockets.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using namespace Velk;

// Binds the socket once the waiting thread sleeps in its poll, so the
// socket can only be found through the watch.
SocketWait waitWhileSocketAppears(SocketDirectoryWatch& watch, const std::string& path) {
    std::promise<pid_t> waiterId;
    // The test process stands for the transport: it does not end meanwhile.
    const Fd transport(static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0)));
    std::future<SocketWait> end = std::async(std::launch::async, [&] {
        waiterId.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
        return connectTransportSocket(
                   watch, path, transport.get(), {}, [] { return false; }, std::chrono::hours(1))
            .end;
    });
    EXPECT_TRUE(
        waitUntilBlockedIn(waiterId.get_future().get(), {SYS_poll, SYS_ppoll}, std::chrono::seconds(5)));
    const Utils::UniqueFd listener(Socket::unixListen(path, 1));
    EXPECT_TRUE(listener.valid());
    return end.get();
}

TEST(TransportSocketWait, OneWatchServesEveryWaitAndAReplacedDirectory) {
    TempDir home;
    const fs::path dir = home / ".velk";
    fs::create_directory(dir);
    SocketDirectoryWatch watch;
    EXPECT_EQ(waitWhileSocketAppears(watch, (dir / "proxy_7_0").string()), SocketWait::Connected);
    EXPECT_EQ(waitWhileSocketAppears(watch, (dir / "proxy_7_1").string()), SocketWait::Connected);

    fs::remove_all(dir);
    fs::create_directory(dir);
    EXPECT_EQ(waitWhileSocketAppears(watch, (dir / "proxy_7_2").string()), SocketWait::Connected);
}

}  // namespace
