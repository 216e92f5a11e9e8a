// velk_proxy as a process between a TCP client and the stand-in transport:
// what the manager is told, bytes both ways, and the end of a connection.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "client_io.h"
#include "private_journal.h"
#include "proxy_harness.h"
#include "transport_record.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::seconds;

class ProxyTransfer : public ::testing::Test {
protected:
    ProxyHarness harness;
};

TEST_F(ProxyTransfer, ManagerHearsEachStageInOrderWithTheClientsAddress) {
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 3), true);
    const int client = connectLoopback(harness.port());
    ASSERT_GE(client, 0);

    ASSERT_TRUE(harness.manager.waitForNotice("proxySessionConnected 7 ", seconds(10)));
    std::vector<std::string> stages;
    for (const auto& line : harness.manager.notices()) {
        if (line.rfind("proxy", 0) == 0 || line.rfind("velkSessionInfoJson", 0) == 0) {
            stages.push_back(line);
        }
    }
    ASSERT_EQ(stages.size(), 4U);
    EXPECT_EQ(stages[0], "proxyListenStarted 7 true");
    EXPECT_EQ(stages[1], "proxyClientConnected 7 127.0.0.1");
    EXPECT_EQ(stages[2], "velkSessionInfoJson 7");
    EXPECT_EQ(stages[3].rfind("proxySessionConnected 7 ", 0), 0U);
    EXPECT_EQ(stages[3].substr(stages[3].size() - 10), " 127.0.0.1");

    const std::string hello = "hello through the proxy";
    EXPECT_EQ(exchange(client, hello, hello.size()), hello);
    close(client);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyTransfer, HundredMebibytesEachWayArriveIntact) {
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int client = connectLoopback(harness.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(harness.manager.waitForNotice("proxySessionConnected 7 ", seconds(10)));

    const std::string data = transportPattern(0, 100U << 20);
    const std::string echoed = exchange(client, data, data.size());
    EXPECT_EQ(echoed.size(), data.size());
    EXPECT_TRUE(echoed == data) << "the echoed bytes differ";
    close(client);

    ASSERT_TRUE(waitUntil([&] { return readTransportRecord(harness.recordPath()).receivedBytes.has_value(); },
                          seconds(10)));
    const auto record = readTransportRecord(harness.recordPath());
    EXPECT_EQ(record.receivedBytes, data.size());
    EXPECT_EQ(record.receivedChecksum, transportChecksum(data));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyTransfer, ClosedClientEndsTheJobStopsTheTransportAndRemovesItsFiles) {
    harness.config["x11rdp:args"].append("/standin:echo");
    harness.start();
    harness.manager.setSessionInfo(R"({"sec:nla": true, "ntlm": "user:hash", "uid": 1000})");
    ASSERT_EQ(harness.allowConnection(7, 42), true);
    const int client = connectLoopback(harness.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(harness.manager.waitForNotice("proxySessionConnected 7 ", seconds(10)));

    const fs::path socketFile = harness.velkDir() / "proxy_7_0";
    const fs::path samFile = harness.velkDir() / "sam_42_0";
    EXPECT_TRUE(fs::is_socket(socketFile));
    ASSERT_TRUE(fs::exists(samFile));
    EXPECT_EQ(fs::status(samFile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(readFile(samFile), "user:hash\n");

    close(client);
    EXPECT_TRUE(
        waitUntil([&] { return readTransportRecord(harness.recordPath()).hasEvent("stopped by signal 15"); },
                  seconds(5)));
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(socketFile) && !fs::exists(samFile); }, seconds(5)));
    EXPECT_TRUE(fs::exists(harness.velkDir() / "rdp_transport_1000_0.log")) << "the transport's log is kept";
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyTransfer, SecondClientIsRefusedOnceTheFirstIsAccepted) {
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int first = connectLoopback(harness.port());
    ASSERT_GE(first, 0);
    ASSERT_TRUE(harness.manager.waitForNotice("proxyClientConnected 7 ", seconds(10)));
    EXPECT_EQ(connectLoopback(harness.port()), -1);
    close(first);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyTransfer, ManagerStopSignalEndsTheProxyWithStatusZero) {
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int client = connectLoopback(harness.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(harness.manager.waitForNotice("proxySessionConnected 7 ", seconds(10)));

    harness.manager.emit("signalVelkStopped");
    const auto result = harness.proxy->wait(seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 0);
    EXPECT_TRUE(readTransportRecord(harness.recordPath()).hasEvent("stopped by signal 15"));
    close(client);
}

}  // namespace
