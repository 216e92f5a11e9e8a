// Tests of what the proxy's tests stand on: the private bus, the stand-in
// session manager (seen through the same generated client class the proxy
// uses) and the stand-in transport.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "client_io.h"
#include "private_bus.h"
#include "standin_bytes.h"
#include "standin_manager.h"
#include "test_support.h"
#include "transport_record.h"
#include "velk_proxy_glue.h"

namespace VelkTest {
namespace {

using namespace std::chrono_literals;

// The manager's interface as the proxy sees it; every signal is kept as text.
class ManagerClient : public ru::tavio::velk_proxy, public DBus::ObjectProxy {
public:
    explicit ManagerClient(DBus::Connection& bus)
        : DBus::ObjectProxy(bus, "/ru/tavio/velk", "ru.tavio.velk") {}

    std::vector<std::string> received;

private:
    void keep(const std::string& line) { received.push_back(line); }

    void signalSessionShutdown(const uint32_t& sessionId) override {
        keep("signalSessionShutdown " + std::to_string(sessionId));
    }
    void signalSessionCreated(const uint32_t& sessionId) override {
        keep("signalSessionCreated " + std::to_string(sessionId));
    }
    void signalSessionConnected(const uint32_t& sessionId, const uint32_t& transportPid,
                                const std::string& remoteAddr) override {
        keep("signalSessionConnected " + std::to_string(sessionId) + " " + std::to_string(transportPid) +
             " " + remoteAddr);
    }
    void signalSessionDisconnected(const uint32_t& sessionId, const uint32_t& transportPid,
                                   const std::string& remoteAddr) override {
        keep("signalSessionDisconnected " + std::to_string(sessionId) + " " + std::to_string(transportPid) +
             " " + remoteAddr);
    }
    void signalProxyAllowConnection(const uint32_t& sessionId, const uint32_t& samId) override {
        keep("signalProxyAllowConnection " + std::to_string(sessionId) + " " + std::to_string(samId));
    }
    void signalProxyListenTimeout(const uint32_t& seconds) override {
        keep("signalProxyListenTimeout " + std::to_string(seconds));
    }
    void signalVelkStopped() override { keep("signalVelkStopped"); }
    void signalTransportDisplaySwitchTo(const int32_t& x, const int32_t& y,
                                        const std::string& name) override {
        keep("signalTransportDisplaySwitchTo " + std::to_string(x) + " " + std::to_string(y) + " " + name);
    }
};

DBus::Connection connectTo(const std::string& address, DBus::BusDispatcher& dispatcher) {
    DBus::default_dispatcher = &dispatcher;
    DBus::Connection bus(address.c_str());
    bus.register_bus();
    return bus;
}

// A client connection of the test's own, dispatched by the test's thread.
class BusClient {
public:
    explicit BusClient(const std::string& address) : bus(connectTo(address, dispatcher)), manager(bus) {}

    // Dispatches until the signal has arrived as this line.
    bool waitForSignal(const std::string& line) {
        return waitUntil(
            [&] {
                dispatcher.do_iteration();
                return std::find(manager.received.begin(), manager.received.end(), line) !=
                       manager.received.end();
            },
            5s);
    }

    DBus::BusDispatcher dispatcher;
    // Bounds each turn of the dispatcher: its poll waits no longer than its shortest timer.
    DBus::DefaultTimeout turn{10, true, &dispatcher};
    DBus::Connection bus;
    ManagerClient manager;
};

TEST(PrivateBus, AcceptsClientsUntilStoppedByItsPid) {
    PrivateBus bus;
    const auto reply =
        runProcess({VELK_DBUS_SEND, "--bus=" + bus.address(), "--print-reply", "--dest=org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus.GetId"});
    EXPECT_EQ(reply.exitCode(), 0) << reply.err;

    const pid_t pid = bus.pid();
    const auto result = bus.stop();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->exitCode(), 0) << result->err;
    EXPECT_NE(kill(pid, 0), 0);
}

class StandinManagerTest : public testing::Test {
protected:
    void TearDown() override {
        ASSERT_TRUE(manager->running());
        const auto result = manager->stop();
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->exitCode(), 0) << result->err;
    }

    PrivateBus bus;
    std::unique_ptr<StandinManager> manager = std::make_unique<StandinManager>(bus);
    BusClient client{bus.address()};
};

TEST_F(StandinManagerTest, OwnsTheNameAndAnswersTheServiceTestWithItsReply) {
    EXPECT_EQ(client.manager.velkTest(), "ok");
    EXPECT_TRUE(manager->waitForNotice("velkTest", 5s));
}

TEST_F(StandinManagerTest, RepliesAnEmptyServiceTestWhenToldTo) {
    manager->stop();
    manager = std::make_unique<StandinManager>(bus, "");
    EXPECT_EQ(client.manager.velkTest(), "");
}

TEST_F(StandinManagerTest, RepliesTheSessionInfoThatTheTestSetLast) {
    EXPECT_NE(client.manager.velkSessionInfoJson(7).find("\"display\""), std::string::npos);
    manager->setSessionInfo(R"({"display": 5, "uid": 1000})");
    EXPECT_EQ(client.manager.velkSessionInfoJson(7), R"({"display": 5, "uid": 1000})");
    manager->setSessionInfo(R"({"display": 6})");
    EXPECT_EQ(client.manager.velkSessionInfoJson(8), R"({"display": 6})");
    EXPECT_TRUE(manager->waitForNotice("velkSessionInfoJson 8", 5s));
}

TEST_F(StandinManagerTest, RecordsTheThreeNoticesOfTheProxy) {
    client.manager.proxyListenStarted(7, true);
    client.manager.proxyClientConnected(7, "127.0.0.1");
    client.manager.proxySessionConnected(7, 1234, "127.0.0.1");
    EXPECT_EQ(manager->waitForNotice("proxySessionConnected", 5s), "proxySessionConnected 7 1234 127.0.0.1");
    const std::vector<std::string> expected = {"proxyListenStarted 7 true",
                                               "proxyClientConnected 7 127.0.0.1",
                                               "proxySessionConnected 7 1234 127.0.0.1"};
    EXPECT_EQ(manager->notices(), expected);
}

TEST_F(StandinManagerTest, EmitsSignalsWithTheArgumentsGiven) {
    manager->emit("signalSessionDisconnected", {"7", "1234", "127.0.0.1"});
    manager->emit("signalTransportDisplaySwitchTo", {"-3", "4", "left screen"});
    manager->emit("signalVelkStopped");
    EXPECT_TRUE(client.waitForSignal("signalSessionDisconnected 7 1234 127.0.0.1"));
    EXPECT_TRUE(client.waitForSignal("signalTransportDisplaySwitchTo -3 4 left screen"));
    EXPECT_TRUE(client.waitForSignal("signalVelkStopped"));
}

TEST_F(StandinManagerTest, RejectsACommandWithWrongArguments) {
    EXPECT_THROW(manager->emit("signalProxyAllowConnection", {"7"}), std::runtime_error);
    EXPECT_THROW(manager->failMethod("noSuchMethod"), std::runtime_error);
}

TEST_F(StandinManagerTest, AFailingMethodRepliesAnErrorUntilItSucceedsAgain) {
    manager->failMethod("velkSessionInfoJson");
    EXPECT_THROW(client.manager.velkSessionInfoJson(7), DBus::Error);
    EXPECT_EQ(client.manager.velkTest(), "ok");
    manager->succeedMethod("velkSessionInfoJson");
    EXPECT_NO_THROW(client.manager.velkSessionInfoJson(7));
    EXPECT_TRUE(manager->waitForNotice("velkSessionInfoJson 7 [error]", 5s));
}

int connectUnix(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything up to the peer's end of stream.
constexpr size_t untilEnd = std::numeric_limits<size_t>::max();

class StandinTransportTest : public testing::Test {
protected:
    // Starts the transport with the arguments the proxy would give, plus
    // these, and opens the connection as the proxy's client does, unless
    // the transport is to go before it answers.
    void start(const std::vector<std::string>& modes, bool answered = true) {
        std::vector<std::string> argv = {VELK_STANDIN_TRANSPORT_BINARY,
                                         "/ipc-socket:" + socketPath.string(),
                                         "/max-connections:1",
                                         "-sec-rdp",
                                         "+sec-tls",
                                         "+auth",
                                         "/standin-record:" + recordPath.string()};
        argv.insert(argv.end(), modes.begin(), modes.end());
        transport =
            std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{{"SESSION_USER", "u7"}});
        // The socket is bound a moment before it is listened on.
        ASSERT_TRUE(waitUntil(
            [&] {
                connection = std::filesystem::is_socket(socketPath) ? connectUnix(socketPath) : -1;
                return connection >= 0;
            },
            5s))
            << transport->errText();
        if (answered) {
            ASSERT_TRUE(sendConnectionRequest(connection));
            ASSERT_TRUE(readConnectionConfirm(connection));
        }
    }

    TransportRecord waitForReceived() const {
        waitUntil([&] { return readTransportRecord(recordPath).receivedBytes.has_value(); }, 10s);
        return readTransportRecord(recordPath);
    }

    // Ends the transport with the signal and checks that it says so.
    void stopWith(int signalNumber) {
        ASSERT_TRUE(transport->running());
        transport->signal(signalNumber);
        const auto result = transport->wait(10s);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->exitCode(), 0) << result->err;
        EXPECT_TRUE(
            readTransportRecord(recordPath).hasEvent("stopped by signal " + std::to_string(signalNumber)));
    }

    void TearDown() override {
        if (connection >= 0) {
            close(connection);
        }
    }

    TempDir dir;
    std::filesystem::path socketPath = dir / "proxy_7_0";
    std::filesystem::path recordPath = dir / "record";
    std::unique_ptr<ChildProcess> transport;
    int connection = -1;
};

TEST_F(StandinTransportTest, RecordsItsArgumentsAndEnvironmentAndEndsOnSigterm) {
    start({});
    const auto record = readTransportRecord(recordPath);
    ASSERT_EQ(record.argv.size(), 7u);
    EXPECT_EQ(record.argv[1], "/ipc-socket:" + socketPath.string());
    EXPECT_EQ(record.argv[4], "+sec-tls");
    EXPECT_NE(std::find(record.environment.begin(), record.environment.end(), "SESSION_USER=u7"),
              record.environment.end());
    stopWith(SIGTERM);
    EXPECT_TRUE(std::filesystem::is_socket(socketPath)) << "the proxy removes the socket, not the transport";
}

TEST_F(StandinTransportTest, EchoesAHundredMebibytesExactlyWhileReading) {
    constexpr uint64_t total = 100ull << 20;
    constexpr size_t chunkSize = 1 << 20;
    start({"/standin:echo"});
    VelkStandin::StreamChecksum sent;
    std::thread writer([&] {
        for (uint64_t offset = 0; offset < total; offset += chunkSize) {
            const std::string chunk = transportPattern(offset, chunkSize);
            sent.add(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
            if (!sendAll(connection, chunk)) {
                break;
            }
        }
        shutdown(connection, SHUT_WR);
    });
    uint64_t received = 0;
    uint64_t mismatches = 0;
    std::string chunk(chunkSize, '\0');
    ssize_t count = 0;
    while ((count = recv(connection, chunk.data(), chunk.size(), 0)) > 0) {
        mismatches += chunk.compare(0, static_cast<size_t>(count),
                                    transportPattern(received, static_cast<size_t>(count))) != 0;
        received += static_cast<uint64_t>(count);
    }
    writer.join();
    EXPECT_EQ(received, total);
    EXPECT_EQ(mismatches, 0u);
    const auto record = waitForReceived();
    EXPECT_EQ(record.receivedBytes, total);
    EXPECT_EQ(record.receivedChecksum, sent.value());
    EXPECT_EQ(record.sentBytes, total);
    stopWith(SIGTERM);
}

TEST_F(StandinTransportTest, SinksAndRecordsTheCountAndChecksumOfWhatArrived) {
    std::mt19937 random(7);
    std::string bytes((3 << 20) + 17, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    start({"/standin:sink"});
    ASSERT_TRUE(sendAll(connection, bytes));
    shutdown(connection, SHUT_WR);
    const auto record = waitForReceived();
    EXPECT_EQ(record.receivedBytes, bytes.size());
    EXPECT_EQ(record.receivedChecksum, transportChecksum(bytes));
    EXPECT_EQ(record.sentBytes, 0u);
    stopWith(SIGTERM);
}

TEST_F(StandinTransportTest, SourceSendsThePatternThenEndsItsStream) {
    constexpr size_t total = (5 << 20) + 3;
    start({"/standin:source:" + std::to_string(total)});
    const std::string bytes = receiveAll(connection, untilEnd);
    EXPECT_EQ(bytes.size(), total);
    EXPECT_TRUE(bytes == transportPattern(0, total));
    stopWith(SIGTERM);
    EXPECT_EQ(readTransportRecord(recordPath).sentBytes, total);
}

TEST_F(StandinTransportTest, IgnoresSigtermWhenToldAndStillServes) {
    start({"/standin:echo", "/standin:ignore-term"});
    // A SIGTERM the transport heeded would end it before it answers.
    transport->signal(SIGTERM);
    ASSERT_TRUE(sendAll(connection, "still here"));
    shutdown(connection, SHUT_WR);
    EXPECT_EQ(receiveAll(connection, untilEnd), "still here");
    EXPECT_EQ(waitForReceived().receivedBytes, 10u);
    EXPECT_FALSE(readTransportRecord(recordPath).hasEvent("stopped by signal 15"));
    stopWith(SIGINT);
}

TEST_F(StandinTransportTest, ExitsAfterAcceptWhenToldTo) {
    start({"/standin:exit-after-accept"}, false);
    const auto result = transport->wait(10s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->exitCode(), 0) << result->err;
    EXPECT_TRUE(readTransportRecord(recordPath).hasEvent("accepted"));
    EXPECT_EQ(receiveAll(connection, untilEnd), "");
}

}  // namespace
}  // namespace VelkTest
