// velk_proxy as an administrator runs it: SIGHUP reloads at once and keeps
// sessions, SIGUSR1 and the session lines say who is connected, for how long
// and how much went each way, the service manager hears readiness, status,
// reloads and the stop, clients come over IPv6 and IPv4, and a wrong value
// in the configuration fails the allowance out loud.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "client_io.h"
#include "journaled_proxy_test.h"
#include "standin_bytes.h"

namespace {

using namespace VelkTest;
using std::chrono::milliseconds;
using std::chrono::seconds;

using ProxyOperations = JournaledProxyTest;

TEST_F(ProxyOperations, SighupReloadsAtOnceAndARunningSessionKeepsItsBytesFlowing) {
    harness.start();
    Fd client(harness.forwardClient(7));
    ASSERT_GE(client.get(), 0);
    // The file watch loads the file when it is written, SIGHUP once more.
    harness.config["listen:timeout"] = 77;
    harness.writeConfig();
    harness.proxy->signal(SIGHUP);
    EXPECT_EQ(proxyMessages("reloadConfigWatcher: success", 2).size(), 2U);
    EXPECT_EQ(exchange(client.get(), "after reload", 12), "after reload");

    writeFile(harness.configPath(), "{ broken");
    harness.proxy->signal(SIGHUP);
    EXPECT_EQ(proxyMessages("configuration refused", 2).size(), 2U);
    EXPECT_EQ(exchange(client.get(), "still", 5), "still");
    ASSERT_EQ(harness.allowConnection(8, 1), true);
    EXPECT_EQ(proxyMessages("session id: 8, timeout: 77").size(), 1U) << "the reloaded value is in force";
    EXPECT_TRUE(harness.proxy->running());
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyOperations, SessionLinesTellTheClientTheDurationAndTheBytesEachWay) {
    harness.start();
    Fd client(harness.forwardClient(7));
    ASSERT_GE(client.get(), 0);
    const std::string data(1000, 'x');
    ASSERT_EQ(exchange(client.get(), data, data.size()), data);
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    ASSERT_EQ(getsockname(client.get(), reinterpret_cast<sockaddr*>(&local), &length), 0);
    const auto started = proxyMessages("session started");
    ASSERT_EQ(started.size(), 1U);
    EXPECT_NE(
        started.front().find("remote addr: `127.0.0.1', port: " + std::to_string(ntohs(local.sin_port))),
        std::string::npos)
        << started.front();

    // The connection request and its confirm count too.
    const std::string bytes =
        "bytes from client: " + std::to_string(1000 + sizeof(VelkStandin::connectionRequest)) +
        ", bytes to client: " + std::to_string(1000 + sizeof(VelkStandin::connectionConfirm));
    harness.proxy->signal(SIGUSR1);
    const auto report = proxyMessages("reportSessions: session id: 7");
    ASSERT_EQ(report.size(), 1U);
    EXPECT_NE(report.front().find(bytes), std::string::npos) << report.front();
    client.reset();
    const auto ended = proxyMessages("session ended");
    ASSERT_EQ(ended.size(), 1U);
    EXPECT_NE(ended.front().find(bytes + ", ended by: client"), std::string::npos) << ended.front();

    // The same in the records' own fields, each kind under its MESSAGE_ID.
    const pid_t pid = harness.proxy->pid();
    const auto startRecord = journal.records("session started", 1, seconds(5), pid);
    const auto endRecord = journal.records("session ended", 1, seconds(5), pid);
    ASSERT_TRUE(startRecord.size() == 1 && endRecord.size() == 1);
    const std::string port = std::to_string(ntohs(local.sin_port));
    for (const auto& record : {startRecord.front(), endRecord.front()}) {
        EXPECT_EQ(record["VELK_SESSION_ID"].asString(), "7");
        EXPECT_EQ(record["VELK_CLIENT_ADDRESS"].asString(), "127.0.0.1");
        EXPECT_EQ(record["VELK_CLIENT_PORT"].asString(), port);
        EXPECT_EQ(record["VELK_TRANSPORT_PID"].asString(), std::to_string(harness.transportPid(7)));
        EXPECT_EQ(record["VELK_USER"].asString(), "root");
    }
    EXPECT_EQ(startRecord.front()["MESSAGE_ID"].asString(), "64b22d68a1354a1bbb1caed7cc257e7c");
    EXPECT_EQ(endRecord.front()["MESSAGE_ID"].asString(), "717a42e6d6f34be7afe8f503ba5f991d");
    EXPECT_EQ(endRecord.front()["VELK_END_REASON"].asString(), "client");
    EXPECT_EQ(endRecord.front()["VELK_BYTES_FROM_CLIENT"].asString(),
              std::to_string(1000 + sizeof(VelkStandin::connectionRequest)));
    EXPECT_FALSE(endRecord.front()["VELK_DURATION_S"].asString().empty());
    EXPECT_EQ(harness.stop().exitCode(), 0);
    EXPECT_EQ(proxyMessages("stopped, reason").front(), "start: stopped, reason: signal");
}

TEST_F(ProxyOperations, StatusTellsWhatItListensForAndEverySessionWithItsBytesSoFar) {
    const std::map<std::string, std::string> home = {{"HOME", harness.home().string()}};
    const auto none = runProcess({VELK_PROXY_BINARY, "--status"}, home);
    EXPECT_EQ(none.exitCode(), 1);
    EXPECT_NE(none.err.find("no proxy of this user runs"), std::string::npos) << none.err;

    harness.start();
    const auto status = [&](const std::string& config) {
        const auto asked = runProcess({VELK_PROXY_BINARY, "--status", "--config", config}, home);
        EXPECT_EQ(asked.exitCode(), 0) << asked.err;
        Json::Value report;
        std::istringstream text(asked.out);
        text >> report;
        return report;
    };
    const std::string config = harness.configPath().string();
    EXPECT_TRUE(status(config)["listening"].isNull());
    Fd client(harness.forwardClient(7));
    ASSERT_GE(client.get(), 0);
    ASSERT_EQ(harness.allowConnection(8, 1), true);
    const Json::Value busy = status(config);
    EXPECT_EQ(busy["listening"]["session"].asUInt(), 8U);
    EXPECT_EQ(busy["listening"]["port"].asUInt(), harness.port());
    ASSERT_EQ(busy["sessions"].size(), 1U);
    const Json::Value& session = busy["sessions"][0];
    EXPECT_EQ(session["session"].asUInt(), 7U);
    EXPECT_EQ(session["client_address"].asString(), "127.0.0.1");
    EXPECT_EQ(session["transport_pid"].asInt(), harness.transportPid(7));
    const uint64_t before = session["bytes_from_client"].asUInt64();
    ASSERT_EQ(exchange(client.get(), std::string(5000, 'y'), 5000), std::string(5000, 'y'));
    EXPECT_EQ(status(config)["sessions"][0]["bytes_from_client"].asUInt64(), before + 5000);

    const auto other = runProcess({VELK_PROXY_BINARY, "--status", "--config", "/etc/velk/other.json"}, home);
    EXPECT_EQ(other.exitCode(), 1);
    EXPECT_NE(other.err.find("the running proxy uses " + config), std::string::npos) << other.err;
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// The datagram socket a service manager listens on, owned by the test.
class NotifySocket {
public:
    NotifySocket() : fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = (dir / "notify").string();
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        EXPECT_EQ(bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0)
            << strerror(errno);
    }
    std::string path() const { return (dir / "notify").string(); }
    // Every message received until one contains `wanted` (or the time-out).
    bool waitFor(const std::string& wanted, milliseconds timeout = seconds(5)) {
        return waitUntil(
            [&] {
                pollfd ready{fd.get(), POLLIN, 0};
                while (poll(&ready, 1, 0) > 0) {
                    char message[512] = {};
                    const ssize_t size = recv(fd.get(), message, sizeof(message) - 1, 0);
                    received.emplace_back(message, size > 0 ? static_cast<size_t>(size) : 0);
                }
                for (const auto& message : received) {
                    if (message.find(wanted) != std::string::npos) {
                        return true;
                    }
                }
                return false;
            },
            timeout);
    }
    std::vector<std::string> received;

private:
    TempDir dir;
    Fd fd;
};

TEST_F(ProxyOperations, TheServiceManagerHearsReadinessStatusReloadWatchdogAndStop) {
    NotifySocket notify;
    harness.start({}, {{"NOTIFY_SOCKET", notify.path()}, {"WATCHDOG_USEC", "200000"}});
    EXPECT_TRUE(notify.waitFor("READY=1"));
    EXPECT_TRUE(notify.waitFor("STATUS=idle; 0 sessions running"));
    EXPECT_TRUE(notify.waitFor("WATCHDOG=1"));
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    EXPECT_TRUE(notify.waitFor("STATUS=listening for session 7 on 127.0.0.1:" +
                               std::to_string(harness.port()) + "; 0 sessions running"));
    harness.proxy->signal(SIGHUP);
    EXPECT_TRUE(notify.waitFor("RELOADING=1"));
    harness.proxy->signal(SIGTERM);
    EXPECT_TRUE(notify.waitFor("STOPPING=1"));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// A manager that does not answer holds up only the job that called it, and
// that one no longer than the time-out: the signals and the watchdog go on.
TEST_F(ProxyOperations, AManagerThatDoesNotAnswerHoldsUpOnlyItsCallerForItsTimeOut) {
    NotifySocket notify;
    harness.start({}, {{"NOTIFY_SOCKET", notify.path()}, {"WATCHDOG_USEC", "3000000"}});
    harness.manager.hangMethod("proxyListenStarted");
    harness.manager.emit("signalProxyAllowConnection", {"7", "1"});
    ASSERT_TRUE(harness.manager.waitForNotice("proxyListenStarted 7 [unanswered]", seconds(5)));
    notify.received.clear();
    harness.manager.emit("signalProxyListenTimeout", {"9"});
    EXPECT_TRUE(notify.waitFor("WATCHDOG=1", seconds(2))) << "the watchdog waited for the manager";
    const auto pinged = std::chrono::system_clock::now();

    // In the journal's own times: the signal was taken, and the watchdog
    // fed, while the call still waited for its time-out.
    const pid_t pid = harness.proxy->pid();
    const auto failed = journal.records("actionCreateTransport: exception:", 1, seconds(10), pid);
    const auto signalled = journal.records("signalProxyListenTimeout: set timeout: 9", 1, seconds(5), pid);
    ASSERT_TRUE(failed.size() == 1 && signalled.size() == 1);
    EXPECT_NE(failed.front()["MESSAGE"].asString().find("session id: 7"), std::string::npos);
    const auto when = [](const Json::Value& record) {
        return std::stoll(record["__REALTIME_TIMESTAMP"].asString());
    };
    EXPECT_LT(when(signalled.front()), when(failed.front()));
    EXPECT_LT(std::chrono::duration_cast<std::chrono::microseconds>(pinged.time_since_epoch()).count(),
              when(failed.front()));
    harness.manager.succeedMethod("proxyListenStarted");
    EXPECT_EQ(harness.allowConnection(8, 1), true);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyOperations, ClientsOfBothFamiliesReachAListenerOnTheUnspecifiedIpv6Address) {
    harness.config["listen:addr"] = "::";
    harness.start();
    uint32_t sessionId = 7;
    for (const auto& [family, address] : {std::pair{AF_INET6, "::1"}, std::pair{AF_INET, "127.0.0.1"}}) {
        ASSERT_EQ(harness.allowConnectionOnceIdle(sessionId, 1), true) << address;
        Fd client(connectTcp(family, address, harness.port()));
        ASSERT_TRUE(client.get() >= 0 && sendConnectionRequest(client.get())) << address;
        ASSERT_TRUE(harness.waitForSessionConnected(sessionId, 0)) << address;
        ASSERT_TRUE(readConnectionConfirm(client.get())) << address;
        EXPECT_EQ(exchange(client.get(), "hello", 5), "hello");
        EXPECT_EQ(harness.countNotices("proxyClientConnected " + std::to_string(sessionId) + " " + address),
                  1U);
        ++sessionId;
    }
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// Every line names the file, the line and the column of a problem.
TEST(ProxyConfigCheck, ReportsEveryProblemWhereItIsAndPassesAGoodFile) {
    TempDir dir;
    const auto check = [&](const std::string& text) {
        writeFile(dir / "velk_proxy.json", text);
        return runProcess(
            {VELK_PROXY_BINARY, "--check-config", "--config", (dir / "velk_proxy.json").string()});
    };
    const std::string file = (dir / "velk_proxy.json").string();
    const auto syntax = check("{\n  \"listen:port\": 3389,\n}\n");
    EXPECT_EQ(syntax.exitCode(), 1);
    EXPECT_EQ(syntax.err.rfind(file + ":3:1: ", 0), 0U) << syntax.err;
    const auto values =
        check("{\n  \"listen:port\": 70000,\n  \"tcp:keepalive:enable\": 1,\n  \"x11rdp:arg\": []\n}");
    EXPECT_EQ(values.exitCode(), 1);
    for (const std::string& expected :
         {file + ":2:18: listen:port: 70000 is out of range 1..65535",
          file + ":3:27: tcp:keepalive:enable: expected a boolean, found an integer",
          file + ":4:17: x11rdp:arg: unknown key, did you mean x11rdp:args?"}) {
        EXPECT_NE(values.err.find(expected + "\n"), std::string::npos) << values.err;
    }
    // What the proxy could not use, though of the right kind, and what
    // strict JSON is not.
    const std::vector<std::pair<std::string, std::string>> unusable = {
        {R"({"listen:addr": "0.0.0.0.0"})", ":1:17: listen:addr: neither an IP address nor a host name"},
        {R"({"x11rdp:args": ["/ipc-socket:%{sock}"]})", ":1:18: x11rdp:args: unknown placeholder %{sock}"},
        {R"({"x11rdp:path": "/velk/no/such/transport"})", ":1:17: x11rdp:path: no program that can be run"},
        {R"({"tcp:keepalive:delay": 32767, "tcp:keepalive:retries": 127, "tcp:keepalive:interval": 32767})",
         ":1:88: tcp:keepalive:interval: delay + retries x interval is 4194176 s"},
        {"{\"listen:port\": 3389 /* the old one */}", ":1:22: Syntax error: comments are not allowed"},
        {R"({"listen:port": 3389, "listen:port": 3390})",
         ":1:23: Syntax error: the key \"listen:port\" is given twice"},
    };
    for (const auto& [text, expected] : unusable) {
        const auto refused = check(text);
        EXPECT_EQ(refused.exitCode(), 1) << text;
        EXPECT_EQ(refused.err.rfind(file + expected, 0), 0U) << refused.err;
    }
    const auto good =
        check(R"({"listen:port": 3389, "listen:addr": "::", "x11rdp:args": ["/ipc-socket:%{socket}"]})");
    EXPECT_EQ(good.exitCode(), 0) << good.err;
    EXPECT_EQ(good.out, file + ": OK\n");
    EXPECT_EQ(good.err, "");
}

}  // namespace
