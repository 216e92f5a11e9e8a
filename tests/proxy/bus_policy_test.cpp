// The package's system bus policy for the manager's name, on the private bus
// that includes it: only root owns "ru.tavio.velk" and sends signals on its
// interface; every user calls the manager's methods. Another user acts
// through dbus-send run by setpriv.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
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
ProcessResult dbusSend(const PrivateBus& bus, bool asNobody, const std::vector<std::string>& arguments);

// The string a method of the bus itself answers, unquoted; empty on an error.
std::string askBus(const PrivateBus& bus, const std::string& method, const std::string& argument) {
    const auto reply = dbusSend(bus, false,
                                {"--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus." + method, argument});
    const size_t open = reply.out.find("string \"");
    const size_t close = reply.out.rfind('"');
    return open == std::string::npos || close <= open + 8 ? std::string()
                                                          : reply.out.substr(open + 8, close - open - 8);
}

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

// The bus lets every user reach the manager's methods; the manager serves a
// session, its description and the notices about it, to root and its owner
// alone (the stand-in as the real manager must).
TEST_F(ManagerNamePolicy, EveryUserReachesTheMethodsAndTheManagerServesASessionToItsOwnerAlone) {
    startManager();
    manager->setSessionInfo(8, R"({"uid": 65534, "display": 3})");
    const auto call = [&](const std::vector<std::string>& method) {
        std::vector<std::string> arguments = {"--print-reply", std::string("--dest=") + managerName,
                                              managerPath};
        arguments.insert(arguments.end(), method.begin(), method.end());
        return dbusSend(*bus, true, arguments);
    };
    const auto sessionCalls = [](const std::string& id) -> std::vector<std::vector<std::string>> {
        return {{"ru.tavio.velk.velkSessionInfoJson", "uint32:" + id},
                {"ru.tavio.velk.proxyListenStarted", "uint32:" + id, "boolean:true"},
                {"ru.tavio.velk.proxyClientConnected", "uint32:" + id, "string:127.0.0.1"},
                {"ru.tavio.velk.proxySessionConnected", "uint32:" + id, "uint32:42", "string:127.0.0.1"}};
    };

    const auto test = call({"ru.tavio.velk.velkTest"});
    EXPECT_EQ(test.exitCode(), 0) << test.err;
    EXPECT_NE(test.out.find("string \"ok\""), std::string::npos) << test.out;
    for (const auto& method : sessionCalls("8")) {
        const auto own = call(method);
        EXPECT_EQ(own.exitCode(), 0) << method.front() << ": " << own.err;
    }
    for (const auto& method : sessionCalls("7")) {
        const auto others = call(method);
        EXPECT_NE(others.err.find(accessDenied), std::string::npos) << method.front() << ": " << others.err;
    }
    for (const auto& expected :
         {"velkTest", "velkSessionInfoJson 8", "proxySessionConnected 8 42 127.0.0.1",
          "velkSessionInfoJson 7 [denied uid 65534]", "proxySessionConnected 7 [denied uid 65534]"}) {
        EXPECT_TRUE(manager->waitForNotice(expected, 5s)) << expected;
    }

    // The holes are the manager's interface only.
    const auto properties = call({"org.freedesktop.DBus.Properties.GetAll", "string:ru.tavio.velk"});
    EXPECT_NE(properties.exitCode(), 0);
    EXPECT_NE(properties.err.find(accessDenied), std::string::npos) << properties.err;
}

// Addressed to a proxy's connection, a forged signal is refused and the
// sender told so; the same rule drops it unseen when it is broadcast. The
// proxies' own tests show the manager's signals reaching them as users.
TEST_F(ManagerNamePolicy, SignalsOnTheManagersInterfaceComeFromRootAlone) {
    startManager();
    const std::string ownerName = askBus(*bus, "GetNameOwner", std::string("string:") + managerName);
    ASSERT_FALSE(ownerName.empty());
    const std::vector<std::string> forged = {"--print-reply", "--reply-timeout=10000",
                                             "--type=signal", "--dest=" + ownerName,
                                             managerPath,     "ru.tavio.velk.signalVelkStopped"};
    const auto byNobody = dbusSend(*bus, true, forged);
    EXPECT_NE(byNobody.exitCode(), 0);
    EXPECT_NE(byNobody.err.find(accessDenied), std::string::npos) << byNobody.err;
    const auto byRoot = dbusSend(*bus, false, forged);
    EXPECT_EQ(byRoot.err.find(accessDenied), std::string::npos) << byRoot.err;
}

}  // namespace
}  // namespace VelkTest
