// The package's system bus policy for the manager's name, on the private bus
// that includes it: only root owns "ru.tavio.velk" and sends signals on its
// interface; every user calls the manager's methods and receives its signals.
// Other users act through dbus-send run by setpriv, or through a forked child
// that takes their identity and speaks to the bus with libdbus.
#include <dbus/dbus.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "private_bus.h"
#include "standin_manager.h"
#include "test_support.h"

namespace VelkTest {
namespace {

using namespace std::chrono_literals;

constexpr uid_t nobodyUid = 65534;
constexpr gid_t nobodyGid = 65534;
constexpr const char* managerName = "ru.tavio.velk";
constexpr const char* managerPath = "/ru/tavio/velk";
constexpr const char* managerInterface = "ru.tavio.velk";
// Signals on another interface may be sent by anyone; one sent after a
// forged signal on the same connection marks the point by which the bus has
// dealt with the forged one.
constexpr const char* markerInterface = "ru.tavio.velktest.Marker";
constexpr const char* accessDenied = "org.freedesktop.DBus.Error.AccessDenied";

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::filesystem::path candidate = std::filesystem::path(dir) / name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    throw std::runtime_error(name + " not found on PATH");
}

// dbus-send on the bus with the given identity: root as the test runs, or
// nobody with no supplementary groups.
ProcessResult dbusSend(const PrivateBus& bus, bool asNobody, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv;
    if (asNobody) {
        argv = {findProgram("setpriv"), "--reuid=" + std::to_string(nobodyUid),
                "--regid=" + std::to_string(nobodyGid), "--clear-groups"};
    }
    argv.push_back(VELK_DBUS_SEND);
    argv.push_back("--bus=" + bus.address());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProcess(argv);
}

// A private libdbus connection, closed at the end of the scope.
class Connection {
public:
    explicit Connection(const std::string& address) {
        DBusError error;
        dbus_error_init(&error);
        connection = dbus_connection_open_private(address.c_str(), &error);
        if (connection != nullptr) {
            dbus_connection_set_exit_on_disconnect(connection, FALSE);
            if (!dbus_bus_register(connection, &error)) {
                close();
            }
        }
        if (connection == nullptr) {
            const std::string message = error.message != nullptr ? error.message : "no message";
            dbus_error_free(&error);
            throw std::runtime_error("cannot connect to the bus: " + message);
        }
    }
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    DBusConnection* get() const { return connection; }
    std::string uniqueName() const { return dbus_bus_get_unique_name(connection); }

    // Asks the bus for every signal on the interface; returns once the bus has
    // taken the rule.
    void receiveSignalsOf(const std::string& interface) {
        DBusError error;
        dbus_error_init(&error);
        dbus_bus_add_match(connection, ("type='signal',interface='" + interface + "'").c_str(), &error);
        if (dbus_error_is_set(&error)) {
            const std::string message = error.message;
            dbus_error_free(&error);
            throw std::runtime_error("AddMatch failed: " + message);
        }
    }

    // Sends a broadcast signal with 32-bit unsigned arguments.
    void sendSignal(const std::string& interface, const std::string& member,
                    const std::vector<uint32_t>& arguments = {}) {
        DBusMessage* message = dbus_message_new_signal(managerPath, interface.c_str(), member.c_str());
        DBusMessageIter iter;
        dbus_message_iter_init_append(message, &iter);
        for (uint32_t value : arguments) {
            dbus_message_iter_append_basic(&iter, DBUS_TYPE_UINT32, &value);
        }
        dbus_connection_send(connection, message, nullptr);
        dbus_message_unref(message);
    }

    // A call to the bus itself; its reply comes after the bus has dealt with
    // everything this connection sent before.
    bool roundTrip() {
        DBusMessage* call =
            dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetId");
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, call, 5000, &error);
        dbus_message_unref(call);
        const bool answered = reply != nullptr;
        if (reply != nullptr) {
            dbus_message_unref(reply);
        }
        dbus_error_free(&error);
        return answered;
    }

    // The unique name of the connection that owns the name; empty when none does.
    std::string nameOwner(const std::string& name) {
        DBusMessage* call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                         DBUS_INTERFACE_DBUS, "GetNameOwner");
        const char* text = name.c_str();
        dbus_message_append_args(call, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, call, 5000, nullptr);
        dbus_message_unref(call);
        std::string owner;
        const char* value = nullptr;
        if (reply != nullptr &&
            dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &value, DBUS_TYPE_INVALID)) {
            owner = value;
        }
        if (reply != nullptr) {
            dbus_message_unref(reply);
        }
        return owner;
    }

    // The signals received so far, as "interface.member arg arg" with their
    // sender, reading what has arrived for up to the given milliseconds.
    void readSignals(std::vector<std::pair<std::string, std::string>>& into, int milliseconds) {
        dbus_connection_read_write(connection, milliseconds);
        while (DBusMessage* message = dbus_connection_pop_message(connection)) {
            if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_SIGNAL) {
                into.emplace_back(dbus_message_get_sender(message), describe(message));
            }
            dbus_message_unref(message);
        }
    }

private:
    static std::string describe(DBusMessage* message) {
        std::string text =
            std::string(dbus_message_get_interface(message)) + "." + dbus_message_get_member(message);
        DBusMessageIter iter;
        if (dbus_message_iter_init(message, &iter)) {
            do {
                if (dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_UINT32) {
                    uint32_t value = 0;
                    dbus_message_iter_get_basic(&iter, &value);
                    text += " " + std::to_string(value);
                } else {
                    text += " ?";
                }
            } while (dbus_message_iter_next(&iter));
        }
        return text;
    }

    void close() {
        if (connection != nullptr) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
            connection = nullptr;
        }
    }

    DBusConnection* connection = nullptr;
};

// The test process's own connection (as root), keeping every signal on the
// manager's interface and on the marker interface.
class Listener {
public:
    explicit Listener(const PrivateBus& bus) : connection(bus.address()) {
        connection.receiveSignalsOf(managerInterface);
        connection.receiveSignalsOf(markerInterface);
    }

    std::string uniqueName() const { return connection.uniqueName(); }

    // Reads until a signal described as `what` has arrived, up to 10 s.
    bool waitFor(const std::string& what) {
        return waitUntil(
            [&] {
                connection.readSignals(signals, 10);
                return senderOf(what).has_value();
            },
            10s);
    }

    std::optional<std::string> senderOf(const std::string& what) const {
        const auto found = std::find_if(signals.begin(), signals.end(),
                                        [&](const auto& signal) { return signal.second == what; });
        if (found == signals.end()) {
            return std::nullopt;
        }
        return found->first;
    }

private:
    Connection connection;
    std::vector<std::pair<std::string, std::string>> signals;
};

// A forked child that runs body as nobody and exits with its result (125
// when the change of identity fails, 126 when body throws). Killed by its
// pid if the test leaves it running.
class NobodyChild {
public:
    explicit NobodyChild(const std::function<int()>& body) {
        pid = fork();
        if (pid < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid == 0) {
            if (setgroups(0, nullptr) != 0 || setresgid(nobodyGid, nobodyGid, nobodyGid) != 0 ||
                setresuid(nobodyUid, nobodyUid, nobodyUid) != 0) {
                _exit(125);
            }
            int result = 126;
            try {
                result = body();
            } catch (...) {
            }
            _exit(result);
        }
    }
    ~NobodyChild() {
        if (!status) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    NobodyChild(const NobodyChild&) = delete;
    NobodyChild& operator=(const NobodyChild&) = delete;

    // The child's exit code, or nullopt when it has not ended within 15 s.
    std::optional<int> exitCode() {
        waitUntil(
            [&] {
                int raw = 0;
                if (waitpid(pid, &raw, WNOHANG) == pid) {
                    status = raw;
                }
                return status.has_value();
            },
            15s);
        if (!status || !WIFEXITED(*status)) {
            return std::nullopt;
        }
        return WEXITSTATUS(*status);
    }

private:
    pid_t pid = -1;
    std::optional<int> status;
};

// As nobody: one connection sends the forged signal and then the marker, and
// waits until the bus has dealt with both.
int sendForgedThenMarker(const std::string& address, const std::string& forged, uint32_t argument) {
    Connection connection(address);
    connection.sendSignal(managerInterface, forged, {argument, argument});
    connection.sendSignal(markerInterface, "Marker", {argument});
    return connection.roundTrip() ? 0 : 1;
}

class ManagerNamePolicy : public testing::Test {
protected:
    void SetUp() override {
        if (!runningAsRoot()) {
            GTEST_SKIP() << "the policy is told apart by user ids; needs root to act as another user";
        }
        bus = std::make_unique<PrivateBus>();
    }

    void startManager() { manager = std::make_unique<StandinManager>(*bus); }

    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<StandinManager> manager;
};

TEST_F(ManagerNamePolicy, OnlyRootOwnsTheName) {
    const std::vector<std::string> requestName = {"--print-reply",
                                                  "--dest=org.freedesktop.DBus",
                                                  "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus.RequestName",
                                                  std::string("string:") + managerName,
                                                  "uint32:4"};  // DBUS_NAME_FLAG_DO_NOT_QUEUE

    const auto byNobody = dbusSend(*bus, true, requestName);
    EXPECT_NE(byNobody.exitCode(), 0);
    EXPECT_NE(byNobody.err.find(accessDenied), std::string::npos) << byNobody.err;
    EXPECT_NE(byNobody.err.find(managerName), std::string::npos) << byNobody.err;

    // Primary owner (reply 1); dbus-send's end gives the name back.
    const auto byRoot = dbusSend(*bus, false, requestName);
    EXPECT_EQ(byRoot.exitCode(), 0) << byRoot.err;
    EXPECT_NE(byRoot.out.find("uint32 1"), std::string::npos) << byRoot.out;

    // The stand-in manager, as root, gets it as the proxies' tests need.
    EXPECT_NO_THROW(startManager());
}

TEST_F(ManagerNamePolicy, EveryUserCallsTheManagersMethodsAndNoOtherInterface) {
    startManager();
    const auto call = [&](const std::vector<std::string>& method) {
        std::vector<std::string> arguments = {"--print-reply", std::string("--dest=") + managerName,
                                              managerPath};
        arguments.insert(arguments.end(), method.begin(), method.end());
        return dbusSend(*bus, true, arguments);
    };

    const auto test = call({"ru.tavio.velk.velkTest"});
    EXPECT_EQ(test.exitCode(), 0) << test.err;
    EXPECT_NE(test.out.find("string \"ok\""), std::string::npos) << test.out;
    const auto info = call({"ru.tavio.velk.velkSessionInfoJson", "uint32:7"});
    EXPECT_EQ(info.exitCode(), 0) << info.err;
    EXPECT_NE(info.out.find("display"), std::string::npos) << info.out;
    for (const auto& notice :
         {call({"ru.tavio.velk.proxyListenStarted", "uint32:7", "boolean:true"}),
          call({"ru.tavio.velk.proxyClientConnected", "uint32:7", "string:127.0.0.1"}),
          call({"ru.tavio.velk.proxySessionConnected", "uint32:7", "uint32:42", "string:127.0.0.1"})}) {
        EXPECT_EQ(notice.exitCode(), 0) << notice.err;
    }
    for (const auto& expected :
         {"velkTest", "velkSessionInfoJson 7", "proxyListenStarted 7 true",
          "proxyClientConnected 7 127.0.0.1", "proxySessionConnected 7 42 127.0.0.1"}) {
        EXPECT_TRUE(manager->waitForNotice(expected, 5s)) << expected;
    }

    // The holes are the manager's interface only.
    const auto properties = call({"org.freedesktop.DBus.Properties.GetAll", "string:ru.tavio.velk"});
    EXPECT_NE(properties.exitCode(), 0);
    EXPECT_NE(properties.err.find(accessDenied), std::string::npos) << properties.err;
}

TEST_F(ManagerNamePolicy, SignalsOnTheManagersInterfaceComeFromRootAlone) {
    startManager();
    Listener listener(*bus);

    // Addressed to a proxy's connection: refused, and the sender is told so.
    const auto unicast =
        dbusSend(*bus, true,
                 {"--print-reply", "--reply-timeout=10000", "--type=signal",
                  "--dest=" + listener.uniqueName(), managerPath, "ru.tavio.velk.signalVelkStopped"});
    EXPECT_NE(unicast.exitCode(), 0);
    EXPECT_NE(unicast.err.find(accessDenied), std::string::npos) << unicast.err;

    // Broadcast: dropped without a word; the marker sent after it arrives alone.
    NobodyChild forger([&] { return sendForgedThenMarker(bus->address(), "signalProxyAllowConnection", 9); });
    EXPECT_EQ(forger.exitCode(), 0);
    ASSERT_TRUE(listener.waitFor(std::string(markerInterface) + ".Marker 9"));
    EXPECT_FALSE(listener.senderOf("ru.tavio.velk.signalProxyAllowConnection 9 9").has_value());
    EXPECT_FALSE(listener.senderOf("ru.tavio.velk.signalVelkStopped").has_value());

    // The manager's own signal, from root, reaches root and nobody alike.
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    Fd readyRead(ready[0]);
    Fd readyWrite(ready[1]);
    const std::string address = bus->address();
    NobodyChild receiver([&] {
        Connection connection(address);
        connection.receiveSignalsOf(managerInterface);
        if (write(readyWrite.get(), "r", 1) != 1) {
            return 2;
        }
        std::vector<std::pair<std::string, std::string>> signals;
        const bool received = waitUntil(
            [&] {
                connection.readSignals(signals, 10);
                return std::any_of(signals.begin(), signals.end(), [](const auto& signal) {
                    return signal.second == "ru.tavio.velk.signalProxyAllowConnection 10 10";
                });
            },
            10s);
        return received ? 0 : 1;
    });
    readyWrite.reset();
    pollfd waitReady{readyRead.get(), POLLIN, 0};
    char readyByte = 0;
    ASSERT_EQ(poll(&waitReady, 1, 10000), 1) << "the child did not subscribe in 10 s";
    ASSERT_EQ(read(readyRead.get(), &readyByte, 1), 1) << "the child ended before it subscribed";

    manager->emit("signalProxyAllowConnection", {"10", "10"});
    ASSERT_TRUE(listener.waitFor("ru.tavio.velk.signalProxyAllowConnection 10 10"));
    EXPECT_EQ(listener.senderOf("ru.tavio.velk.signalProxyAllowConnection 10 10"),
              Connection(bus->address()).nameOwner(managerName));
    EXPECT_EQ(receiver.exitCode(), 0) << "nobody did not receive the manager's signal";
}

// Without the package's policy file, as tests of the proxy's own checks need
// it: a forged signal from another user reaches the listener.
TEST(StockBusPolicy, LetsAnyUserSendSignalsOnTheManagersInterface) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    PrivateBus bus(BusPolicy::Stock);
    Listener listener(bus);
    NobodyChild forger([&] { return sendForgedThenMarker(bus.address(), "signalProxyAllowConnection", 11); });
    EXPECT_EQ(forger.exitCode(), 0);
    ASSERT_TRUE(listener.waitFor(std::string(markerInterface) + ".Marker 11"));
    EXPECT_TRUE(listener.senderOf("ru.tavio.velk.signalProxyAllowConnection 11 11").has_value());
}

}  // namespace
}  // namespace VelkTest
