// velk_proxy as a process given bad input: configuration values of the wrong
// type, session descriptions that are no objects, a manager that answers with
// errors or disappears, clients that reset the connection; and nothing left
// behind after many connections.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "client_io.h"
#include "journaled_proxy_test.h"
#include "private_journal.h"
#include "process_watch.h"
#include "proxy_harness.h"
#include "transport_record.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Closes with a reset instead of an orderly end.
void resetConnection(int fd) {
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    close(fd);
}

class ProxyFaults : public JournaledProxyTest {
protected:
    // One client through the proxy: allowed, connected, a few bytes echoed.
    // Returns the client socket, -1 on failure.
    int connectClient(uint32_t sessionId) {
        const int client = harness.forwardClient(sessionId);
        if (client >= 0 && exchange(client, "ping", 4) != "ping") {
            close(client);
            return -1;
        }
        return client;
    }
};

TEST_F(ProxyFaults, ASessionDescriptionThatIsNoObjectLetsTheClientGo) {
    harness.start();
    size_t failures = 0;
    for (const char* description : {"[1, 2]", "display 3"}) {
        harness.manager.setSessionInfo(description);
        ASSERT_EQ(harness.allowConnection(7, 1), true) << description;
        const int client = connectRdpClient(harness.port());
        ASSERT_GE(client, 0);
        EXPECT_TRUE(peerClosed(client, seconds(5))) << description;
        close(client);
        ++failures;
        EXPECT_EQ(proxyMessages("actionCreateTransport: exception:", failures).size(), failures);
    }
    EXPECT_EQ(proxyMessages("actionCreateTransport: exception: JsonConfigString, session id: 7").size(), 1U);
    EXPECT_EQ(harness.countNotices("proxySessionConnected"), 0U);
    EXPECT_FALSE(fs::exists(harness.recordPath())) << "no transport was started";
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyFaults, AFailedListenNoticeClosesTheListener) {
    harness.start();
    harness.manager.failMethod("proxyListenStarted");
    harness.manager.emit("signalProxyAllowConnection", {"7", "1"});
    ASSERT_TRUE(harness.manager.waitForNotice("proxyListenStarted 7 true [error]", seconds(5)));
    EXPECT_TRUE(waitUntil(
        [&] {
            const int fd = connectLoopback(harness.port());
            close(fd);
            return fd < 0;
        },
        seconds(2)));
    harness.manager.succeedMethod("proxyListenStarted");
    EXPECT_EQ(harness.allowConnection(7, 1), true);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyFaults, AFailedClientNoticeOrSessionQueryLetsTheClientGo) {
    harness.start();
    harness.manager.failMethod("proxyClientConnected");
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    EXPECT_TRUE(peerClosed(client, seconds(5)));
    close(client);
    harness.manager.succeedMethod("proxyClientConnected");

    harness.manager.failMethod("velkSessionInfoJson");
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    EXPECT_TRUE(peerClosed(client, seconds(5)));
    close(client);
    // Each failed call of the manager is said, with its session.
    EXPECT_EQ(proxyMessages("actionCreateTransport: exception: the method fails on request, session id: 7", 2)
                  .size(),
              2U);
    EXPECT_EQ(harness.countNotices("proxySessionConnected"), 0U);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyFaults, AFailedSessionNoticeIsLoggedAndTheForwardingGoesOn) {
    harness.start();
    harness.manager.failMethod("proxySessionConnected");
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(harness.manager.waitForNotice("proxySessionConnected 7 ", seconds(10)));
    EXPECT_EQ(proxyMessages("actionCreateTransport: exception:").size(), 1U);
    ASSERT_TRUE(readConnectionConfirm(client));
    EXPECT_EQ(exchange(client, "forwarded anyway", 16), "forwarded anyway");
    close(client);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyFaults, AManagerThatDisappearsEndsOnlyTheConnectionBeingMade) {
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    ASSERT_TRUE(harness.manager.stop());
    const int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    EXPECT_TRUE(peerClosed(client, seconds(10)));
    close(client);
    ASSERT_TRUE(harness.proxy->running());
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyFaults, AClientThatResetsEndsItsJobAndTheTransport) {
    harness.start();
    const int client = connectClient(7);
    ASSERT_GE(client, 0);
    resetConnection(client);
    const auto stopped = proxyMessages("job stopped");
    ASSERT_EQ(stopped.size(), 1U);
    EXPECT_EQ(stopped.front(), "JobTransfer: job stopped, session id: 7, result: recv error");
    EXPECT_TRUE(
        waitUntil([&] { return readTransportRecord(harness.recordPath()).hasEvent("stopped by signal 15"); },
                  seconds(5)));
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(harness.velkDir() / "proxy_7_0"); }, seconds(5)));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// Names count the session's jobs: with the first of two connections gone,
// a third would get the second's socket name, and the second's end would
// take the third's socket away under it.
TEST_F(ProxyFaults, ANewConnectionNeverSharesItsTransportSocketWithARunningOne) {
    harness.start();
    const auto sockets = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(harness.velkDir())) {
            // The transports' sockets; the proxy's status socket stays.
            if (entry.is_socket() && entry.path().filename().string().rfind("proxy_", 0) == 0) {
                names.push_back(entry.path().filename());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    int first = connectClient(7);
    ASSERT_GE(first, 0);
    const int second = connectClient(7);
    ASSERT_GE(second, 0);
    EXPECT_EQ(sockets(), (std::vector<std::string>{"proxy_7_0", "proxy_7_1"}));
    close(first);
    // The sweep logs the removal before the job's end removes its socket.
    const auto socketsBecome = [&](const std::vector<std::string>& expected) {
        return waitUntil([&] { return sockets() == expected; }, seconds(10));
    };
    ASSERT_TRUE(socketsBecome({"proxy_7_1"}));

    const int third = connectClient(7);
    ASSERT_GE(third, 0);
    EXPECT_EQ(sockets(), (std::vector<std::string>{"proxy_7_1", "proxy_7_2"}));
    close(second);
    ASSERT_EQ(proxyMessages("remove job, session id: 7", 2).size(), 2U);
    EXPECT_TRUE(socketsBecome({"proxy_7_2"})) << "the running connection's socket is gone";
    EXPECT_EQ(exchange(third, "still", 5), "still");
    close(third);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyFaults, FiftyConnectionsLeaveNoDescriptorThreadChildOrFileBehind) {
    harness.start();
    const pid_t pid = harness.proxy->pid();
    const auto settled = [&] { return countEntries(harness.velkDir()) > 0 && childrenOf(pid).empty(); };

    // One connection first, so that everything made once per process exists.
    int client = connectClient(7);
    ASSERT_GE(client, 0);
    close(client);
    ASSERT_TRUE(waitUntil(settled, seconds(5)));
    ASSERT_TRUE(waitUntil([&] { return holdingsOf(pid, harness.velkDir()).files == 0; }, seconds(5)));
    const Holdings before = holdingsOf(pid, harness.velkDir());

    for (size_t cycle = 1; cycle <= 50; ++cycle) {
        client = connectClient(7);
        ASSERT_GE(client, 0) << "cycle " << cycle
                             << ", the manager's last notice: " << harness.manager.notices().back() << " "
                             << ::testing::PrintToString(
                                    proxyMessages("actionCreateTransport", 100, seconds(0)));
        if (cycle % 2 == 0) {
            resetConnection(client);
        } else {
            close(client);
        }
    }
    Holdings after;
    const bool same = waitUntil(
        [&] {
            after = holdingsOf(pid, harness.velkDir());
            return after == before;
        },
        seconds(10));
    EXPECT_TRUE(same) << "before " << before << ", after " << after;
    ASSERT_TRUE(harness.proxy->running());
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
