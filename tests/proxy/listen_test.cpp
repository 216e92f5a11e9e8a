// The listen job of velk_proxy as a process: time-outs, a busy job, files
// left over from earlier runs, numbered files of parallel connections, the
// manager's disconnect signal, and the keep-alive options of the accepted
// socket read back from inside the proxy.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "client_io.h"
#include "journaled_proxy_test.h"
#include "private_journal.h"
#include "proxy_harness.h"
#include "transport_record.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::milliseconds;
using std::chrono::seconds;

using ProxyListen = JournaledProxyTest;

TEST_F(ProxyListen, NoClientWithinTheTimeOutEndsTheJobAndClosesThePort) {
    harness.config["listen:timeout"] = 2;
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    EXPECT_EQ(proxyMessages("transport stopped, timeout", 1, seconds(10)),
              std::vector<std::string>{
                  "actionCreateTransport: exception: transport stopped, timeout, session id: 7"});
    EXPECT_EQ(connectLoopback(harness.port()), -1);
    EXPECT_EQ(harness.countNotices("proxyClientConnected"), 0U);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyListen, ASecondAllowanceWhileTheFirstListensIsDropped) {
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    harness.manager.emit("signalProxyAllowConnection", {"8", "2"});
    EXPECT_EQ(proxyMessages("listen transport busy"),
              std::vector<std::string>{"signalProxyAllowConnection: listen transport busy, session id: 8"});
    EXPECT_EQ(harness.countNotices("proxyListenStarted 8"), 0U);
    // The first job still takes its client.
    const int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    EXPECT_TRUE(harness.waitForSessionConnected(7, 0));
    close(client);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyListen, ASocketFileLeftOverIsRemovedBeforeTheTransportStarts) {
    harness.start();
    fs::create_directories(harness.velkDir());
    const fs::path leftover = harness.velkDir() / "proxy_7_0";
    const int stale = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, leftover.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(stale);
    ASSERT_TRUE(fs::is_socket(leftover));

    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0));
    ASSERT_TRUE(readConnectionConfirm(client));
    EXPECT_EQ(exchange(client, "fresh", 5), "fresh");
    close(client);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// The transport cannot bind over the file and ends: the wait sees that at
// once instead of waiting out its time.
TEST_F(ProxyListen, AnotherFileAtTheSocketPathIsLeftAndTheWaitEndsWithTheTransport) {
    harness.start();
    fs::create_directories(harness.velkDir());
    const fs::path leftover = harness.velkDir() / "proxy_7_0";
    writeFile(leftover, "not a socket");

    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    EXPECT_EQ(proxyMessages("transport ended", 1, seconds(4)),
              std::vector<std::string>{"actionCreateTransport: exception: transport ended, session id: 7"});
    EXPECT_TRUE(peerClosed(client, seconds(2))) << "the client is let go";
    close(client);
    EXPECT_TRUE(fs::is_regular_file(leftover));
    EXPECT_EQ(readFile(leftover), "not a socket");
    EXPECT_EQ(harness.countNotices("proxySessionConnected"), 0U);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyListen, TwoConnectionsOfOneSessionUseFilesNumberedZeroAndOne) {
    harness.start();
    harness.manager.setSessionInfo(R"({"uid": 1000, "sec:nla": true, "ntlm": "ann:hash"})");
    ASSERT_EQ(harness.allowConnection(7, 5), true);
    const int first = connectRdpClient(harness.port());
    ASSERT_GE(first, 0);
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0));
    ASSERT_TRUE(readConnectionConfirm(first));
    ASSERT_EQ(harness.allowConnection(7, 5), true);
    const int second = connectRdpClient(harness.port());
    ASSERT_GE(second, 0);
    ASSERT_TRUE(harness.waitForSessionConnected(7, 1));
    ASSERT_TRUE(readConnectionConfirm(second));

    for (const char* name : {"proxy_7_0", "proxy_7_1"}) {
        EXPECT_TRUE(fs::is_socket(harness.velkDir() / name)) << name;
    }
    for (const char* name :
         {"sam_5_7_0", "sam_5_7_1", "rdp_transport_1000_0.log", "rdp_transport_1000_1.log"}) {
        EXPECT_TRUE(fs::is_regular_file(harness.velkDir() / name)) << name;
    }
    EXPECT_EQ(exchange(first, "one", 3), "one");
    EXPECT_EQ(exchange(second, "two", 3), "two");
    close(first);
    close(second);
    EXPECT_TRUE(waitUntil(
        [&] {
            return !fs::exists(harness.velkDir() / "proxy_7_0") &&
                   !fs::exists(harness.velkDir() / "proxy_7_1");
        },
        seconds(5)));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyListen, ATransportThatDiesEndsTheJobWithoutASignal) {
    harness.useStandinTransport({"exit-after-accept"});
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0));
    EXPECT_TRUE(peerClosed(client, seconds(5)));
    close(client);
    // Its socket closed before or after the client's request reached it.
    const auto ended = proxyMessages("session ended");
    ASSERT_EQ(ended.size(), 1U);
    EXPECT_NE(ended.front().find("ended by: transport"), std::string::npos) << ended.front();
    EXPECT_EQ(proxyMessages("remove job"),
              std::vector<std::string>{"sweepStoppedJobs: remove job, session id: 7"});
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(harness.velkDir() / "proxy_7_0"); }, seconds(5)));
    const pid_t transport = harness.transportPid(7);
    EXPECT_TRUE(waitUntil([&] { return kill(transport, 0) != 0; }, seconds(5))) << "the transport was reaped";
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyListen, ATransportThatNeverAnswersTheClientEndsTheSessionAfterTheHandshakeTimeOut) {
    harness.config["listen:handshake-timeout"] = 1;
    harness.useStandinTransport({"no-answer"});
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const Fd client(connectRdpClient(harness.port()));
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0));
    EXPECT_TRUE(peerClosed(client.get(), seconds(5)));
    const auto ended = proxyMessages("session ended");
    ASSERT_EQ(ended.size(), 1U);
    EXPECT_NE(ended.front().find("ended by: transport, no answer to the client's request in time"),
              std::string::npos)
        << ended.front();
    EXPECT_TRUE(
        waitUntil([&] { return readTransportRecord(harness.recordPath()).hasEvent("stopped by signal 15"); },
                  seconds(5)));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyListen, DisconnectWithAnotherPidKeepsTheJobAndWithItsOwnPidEndsIt) {
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0));
    ASSERT_TRUE(readConnectionConfirm(client));
    const std::string pid = std::to_string(harness.transportPid(7));
    const std::string otherPid = std::to_string(std::stoul(pid) + 1);

    harness.manager.emit("signalSessionDisconnected", {"7", otherPid, "127.0.0.1"});
    EXPECT_EQ(proxyMessages("signalSessionDisconnected"),
              std::vector<std::string>{"signalSessionDisconnected: session id: 7, pid: " + otherPid +
                                       ", remote addr: `127.0.0.1'"});
    EXPECT_EQ(exchange(client, "still here", 10), "still here");
    EXPECT_FALSE(readTransportRecord(harness.recordPath()).hasEvent("stopped by signal 15"));

    harness.manager.emit("signalSessionDisconnected", {"7", pid, "127.0.0.1"});
    EXPECT_TRUE(
        waitUntil([&] { return readTransportRecord(harness.recordPath()).hasEvent("stopped by signal 15"); },
                  seconds(5)));
    EXPECT_TRUE(peerClosed(client, seconds(5)));
    // The files go after the sockets are closed and the transport has ended.
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(harness.velkDir() / "proxy_7_0"); }, seconds(5)));
    close(client);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyListen, AListeningSessionThatDisconnectsGivesUpWhateverThePid) {
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    harness.manager.emit("signalSessionDisconnected", {"8", "0", ""});
    harness.manager.emit("signalSessionDisconnected", {"7", "12345", "10.0.0.1"});
    EXPECT_EQ(
        proxyMessages("session disconnected"),
        std::vector<std::string>{"actionCreateTransport: exception: session disconnected, session id: 7"});
    EXPECT_EQ(connectLoopback(harness.port()), -1);
    // The next allowance listens again.
    EXPECT_EQ(harness.allowConnection(7, 1), true);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyListen, APortInUseIsReportedAsNotListening) {
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(harness.port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    harness.start();
    EXPECT_EQ(harness.allowConnection(7, 1), false);
    close(holder);
    // The failed job has ended: the next allowance gets the port.
    EXPECT_EQ(harness.allowConnection(7, 1), true);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// The accepted socket lives in the proxy: borrow it with pidfd_getfd.
int borrowDescriptor(pid_t pid, int fd) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        return -1;
    }
    const int copy = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
    close(pidfd);
    return copy;
}

int socketOption(int fd, int level, int option) {
    int value = -1;
    socklen_t len = sizeof(value);
    getsockopt(fd, level, option, &value, &len);
    return value;
}

// The proxy's descriptor of the accepted client, from its debug line.
int acceptedDescriptor(const std::vector<std::string>& lines) {
    if (lines.empty()) {
        return -1;
    }
    const std::string& line = lines.front();
    return std::stoi(line.substr(line.rfind("fd: ") + 4));
}

TEST_F(ProxyListen, NoDelayAndKeepAliveOptionsAreSetOnTheAcceptedSocket) {
    harness.config["tcp:keepalive:delay"] = 11;
    harness.config["tcp:keepalive:retries"] = 4;
    harness.config["tcp:keepalive:interval"] = 3;
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0));

    const int fd = acceptedDescriptor(proxyMessages("remote addr: 127.0.0.1, fd: "));
    ASSERT_GE(fd, 0);
    const int copy = borrowDescriptor(harness.proxy->pid(), fd);
    ASSERT_GE(copy, 0) << strerror(errno);
    EXPECT_EQ(socketOption(copy, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(socketOption(copy, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(socketOption(copy, IPPROTO_TCP, TCP_KEEPIDLE), 11);
    EXPECT_EQ(socketOption(copy, IPPROTO_TCP, TCP_KEEPCNT), 4);
    EXPECT_EQ(socketOption(copy, IPPROTO_TCP, TCP_KEEPINTVL), 3);
    // Data in flight to a vanished client: dropped as late as keep-alive would.
    EXPECT_EQ(socketOption(copy, IPPROTO_TCP, TCP_USER_TIMEOUT), (11 + 4 * 3) * 1000);
    close(copy);
    const std::vector<std::string> policy = {
        "actionCreateTransport: socket set policy: TCP_NODELAY = 1",
        "actionCreateTransport: socket set policy: SO_KEEPALIVE = 1",
        "actionCreateTransport: socket set policy: SO_KEEPIDLE = 11",
        "actionCreateTransport: socket set policy: SO_KEEPCNT = 4",
        "actionCreateTransport: socket set policy: SO_KEEPINTVL = 3",
        "actionCreateTransport: socket set policy: TCP_USER_TIMEOUT = 23000"};
    EXPECT_EQ(proxyMessages("socket set policy", 6), policy);
    close(client);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyListen, KeepAliveTurnedOffByAReloadLeavesTheNextClientWithoutIt) {
    harness.start();
    harness.config["tcp:keepalive:enable"] = false;
    harness.writeConfig();
    ASSERT_EQ(proxyMessages("reloadConfigWatcher: success").size(), 1U);
    ASSERT_EQ(harness.allowConnectionOnceIdle(8, 1), true);
    const int second = connectRdpClient(harness.port());
    ASSERT_GE(second, 0);
    ASSERT_TRUE(harness.waitForSessionConnected(8, 0));
    const int fd = acceptedDescriptor(proxyMessages("session id: 8, remote addr: 127.0.0.1, fd: "));
    const int copy = borrowDescriptor(harness.proxy->pid(), fd);
    ASSERT_GE(copy, 0);
    EXPECT_EQ(socketOption(copy, SOL_SOCKET, SO_KEEPALIVE), 0);
    // Turning keep-alive off leaves the interactive option alone.
    EXPECT_EQ(socketOption(copy, IPPROTO_TCP, TCP_NODELAY), 1);
    close(copy);
    EXPECT_EQ(proxyMessages("socket set policy: SO_KEEP", 0, milliseconds(0)).size(), 0U);
    close(second);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
