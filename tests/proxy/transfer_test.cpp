// velk_proxy as a process between a TCP client and the stand-in transport:
// what the manager is told, bytes both ways, and the end of a connection.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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
    // What the transport recorded once the client had gone: all of data, intact.
    void expectTransportReceived(const std::string& data) const {
        ASSERT_TRUE(
            waitUntil([&] { return readTransportRecord(harness.recordPath()).receivedBytes.has_value(); },
                      seconds(10)));
        const auto record = readTransportRecord(harness.recordPath());
        EXPECT_EQ(record.receivedBytes, data.size());
        EXPECT_EQ(record.receivedChecksum, transportChecksum(data));
    }

    // First: it has to exist before any thread does.
    PrivateJournal journal;
    ProxyHarness harness;
};

TEST_F(ProxyTransfer, ManagerHearsEachStageInOrderWithTheClientsAddress) {
    harness.start();
    const int client = harness.forwardClient(7, 3);
    ASSERT_GE(client, 0);

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
    const int client = harness.forwardClient(7);
    ASSERT_GE(client, 0);

    const std::string data = transportPattern(0, 100U << 20);
    const std::string echoed = exchange(client, data, data.size());
    EXPECT_EQ(echoed.size(), data.size());
    EXPECT_TRUE(echoed == data) << "the echoed bytes differ";
    close(client);

    expectTransportReceived(data);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyTransfer, ClosedClientEndsTheJobStopsTheTransportAndRemovesItsFiles) {
    harness.config["x11rdp:args"].append("/standin:echo");
    harness.start();
    harness.manager.setSessionInfo(R"({"sec:nla": true, "ntlm": "user:hash", "uid": 1000})");
    const int client = harness.forwardClient(7, 42);
    ASSERT_GE(client, 0);

    const fs::path socketFile = harness.velkDir() / "proxy_7_0";
    const fs::path samFile = harness.velkDir() / "sam_42_7_0";
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
    const int first = connectRdpClient(harness.port());
    ASSERT_GE(first, 0);
    ASSERT_TRUE(harness.manager.waitForNotice("proxyClientConnected 7 ", seconds(10)));
    EXPECT_EQ(connectLoopback(harness.port()), -1);
    close(first);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyTransfer, ManagerStopSignalEndsTheProxyWithStatusZero) {
    harness.start();
    const int client = harness.forwardClient(7);
    ASSERT_GE(client, 0);

    harness.manager.emit("signalVelkStopped");
    const auto result = harness.proxy->wait(seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 0);
    EXPECT_TRUE(readTransportRecord(harness.recordPath()).hasEvent("stopped by signal 15"));
    close(client);
}

TEST_F(ProxyTransfer, HundredMebibytesFromTheTransportAloneArriveIntact) {
    harness.useStandinTransport({"source:104857600"});
    harness.start();
    const int client = harness.forwardClient(7);
    ASSERT_GE(client, 0);
    const std::string received = receiveAll(client, 101U << 20);
    close(client);
    EXPECT_EQ(received.size(), 100U << 20);
    EXPECT_EQ(transportChecksum(received), transportChecksum(transportPattern(0, 100U << 20)));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyTransfer, HundredMebibytesToTheTransportAloneArriveIntact) {
    harness.useStandinTransport({"sink"});
    harness.start();
    const int client = harness.forwardClient(7);
    ASSERT_GE(client, 0);
    const std::string data = transportPattern(5, 100U << 20);
    ASSERT_TRUE(sendAll(client, data));
    close(client);
    expectTransportReceived(data);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// The client sends without reading, so the echoing transport stops reading
// too once it cannot send: both directions are full at once.  When the
// client reads at last, everything has to come back once and in order.
TEST_F(ProxyTransfer, AClientThatSendsWithoutReadingGetsEveryByteBackInOrder) {
    harness.start();
    const int client = harness.forwardClient(7);
    ASSERT_GE(client, 0);
    const std::string data = transportPattern(11, 32U << 20);
    std::atomic<size_t> sent{0};
    std::thread writer([&] {
        for (size_t done = 0; done < data.size();) {
            const ssize_t count = send(client, data.data() + done,
                                       std::min<size_t>(data.size() - done, 64 << 10), MSG_NOSIGNAL);
            if (count <= 0) {
                return;
            }
            done += static_cast<size_t>(count);
            sent.exchange(done);
        }
    });
    // Until the writer is held up by the full relay, or is done.
    size_t seen = 0;
    while (sent.load() < data.size()) {
        seen = sent.load();
        if (!waitUntil([&] { return sent.load() != seen; }, std::chrono::milliseconds(300))) {
            break;
        }
    }
    const std::string echoed = receiveAll(client, data.size());
    writer.join();
    EXPECT_EQ(sent.load(), data.size());
    EXPECT_EQ(echoed.size(), data.size());
    EXPECT_TRUE(echoed == data) << "bytes lost, doubled or reordered";
    close(client);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// The job's end waits 5 s for a transport that ignores SIGTERM, then kills
// it; meanwhile the proxy still follows the manager, however the job ended.
class StubbornTransport : public ProxyTransfer {
protected:
    void SetUp() override {
        if (!journal.failure().empty()) {
            GTEST_SKIP() << journal.failure();
        }
        harness.config["x11rdp:args"].append("/standin:ignore-term");
        harness.start();
    }

    // Once the transport of session 7 was told to stop, an allowance for
    // session 8 is answered before the transport is killed.
    void expectServedWhileTheTransportHoldsOut() {
        const pid_t pid = harness.proxy->pid();
        ASSERT_EQ(journal.messages("stop transport", 1, seconds(5), pid).size(), 1U);
        ASSERT_EQ(harness.allowConnection(8, 1), true) << "no answer while the transport is being stopped";
        EXPECT_EQ(journal.messages("ignores SIGTERM", 0, std::chrono::milliseconds(0), pid).size(), 0U)
            << "the allowance was served only after the wait";

        const auto killed = journal.messages("ignores SIGTERM", 1, seconds(10), pid);
        ASSERT_EQ(killed.size(), 1U);
        EXPECT_EQ(killed.front().rfind("awaitTransportEnd: transport ignores SIGTERM, kill, pid: ", 0), 0U);
        EXPECT_FALSE(readTransportRecord(harness.recordPath()).hasEvent("stopped by signal 15"));
        EXPECT_TRUE(waitUntil([&] { return !fs::exists(harness.velkDir() / "proxy_7_0"); }, seconds(5)));
        EXPECT_EQ(harness.stop().exitCode(), 0);
    }
};

TEST_F(StubbornTransport, AJobTheClientEndedIsSweptWithoutHoldingUpTheManager) {
    const int client = harness.forwardClient(7);
    ASSERT_GE(client, 0);
    close(client);
    expectServedWhileTheTransportHoldsOut();
}

// The disconnect runs on the thread of every manager signal: it stops the
// job and leaves the wait for the transport to the periodic task.
TEST_F(StubbornTransport, AJobTheManagerDisconnectedEndsWithoutHoldingUpTheManager) {
    const Fd client(harness.forwardClient(7));
    ASSERT_GE(client.get(), 0);
    harness.manager.emit("signalSessionDisconnected",
                         {"7", std::to_string(harness.transportPid(7)), "127.0.0.1"});
    expectServedWhileTheTransportHoldsOut();
}

}  // namespace
