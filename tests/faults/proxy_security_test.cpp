// velk_proxy against the other users of its host: every identity it and its
// transport run with after --user is the user's, a failed change of user ends
// it, what it creates in ".velk" is the user's alone and never written
// through a planted link, only the manager's own signals drive it, a session
// of another user is refused, and a probe does not take a session.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "client_io.h"
#include "forwarded_client.h"
#include "journaled_proxy_test.h"
#include "private_journal.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::seconds;

std::set<std::string> userGroups(const TestUser& user) {
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (getgrouplist(user.name().c_str(), user.gid(), groups.data(), &count) < 0) {
        return {};
    }
    std::set<std::string> names;
    for (int index = 0; index < count; ++index) {
        names.insert(std::to_string(groups[static_cast<size_t>(index)]));
    }
    return names;
}

// Real, effective, saved and file-system ids, then the supplementary groups.
void expectUsersIdentity(pid_t pid, const TestUser& user, const std::string& who) {
    const std::string uid = std::to_string(user.uid());
    const std::string gid = std::to_string(user.gid());
    EXPECT_EQ(statusWords(pid, "Uid"), std::vector<std::string>(4, uid)) << who;
    EXPECT_EQ(statusWords(pid, "Gid"), std::vector<std::string>(4, gid)) << who;
    const auto groups = statusWords(pid, "Groups");
    EXPECT_EQ(std::set<std::string>(groups.begin(), groups.end()), userGroups(user)) << who;
    EXPECT_EQ(std::count(groups.begin(), groups.end(), "0"), 0) << who << " keeps root's group";
}

::testing::AssertionResult ownedAndNotWritableByOthers(const fs::path& path, uid_t owner) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return ::testing::AssertionFailure() << path << " is gone";
    }
    if (st.st_uid != owner) {
        return ::testing::AssertionFailure() << path << " belongs to uid " << st.st_uid;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return ::testing::AssertionFailure() << path << " has mode " << std::oct << (st.st_mode & 07777);
    }
    return ::testing::AssertionSuccess();
}

TEST(ProxySecurity, AfterTheChangeOfUserEveryIdAndFileIsTheUsersAlone) {
    // First: it has to exist before any thread does.
    PrivateJournal journal;
    if (!journal.failure().empty()) {
        GTEST_SKIP() << journal.failure();
    }
    if (!runningAsRoot()) {
        GTEST_SKIP() << "changing the user needs root";
    }
    TestUser user;
    ProxyHarness harness;
    // No record file: the user could not write one among the test's files.
    Json::Value args(Json::arrayValue);
    args.append("/ipc-socket:%{socket}");
    args.append("/standin:echo");
    harness.config["x11rdp:args"] = args;
    harness.start({"--user", user.name()}, {{"HOME", user.home()}});
    harness.manager.setSessionInfo(R"({"sec:nla": true, "ntlm": "user:hash", "uid": )" +
                                   std::to_string(user.uid()) + "}");

    const ForwardedClient forwarded = forwardClient(harness, 7, 42);
    ASSERT_GE(forwarded.fd, 0);
    Fd client(forwarded.fd);
    ASSERT_EQ(exchange(client.get(), "ping", 4), "ping");
    expectUsersIdentity(harness.proxy->pid(), user, "proxy");
    expectUsersIdentity(forwarded.transport, user, "transport");

    const fs::path velk = fs::path(user.home()) / ".velk";
    EXPECT_TRUE(ownedAndNotWritableByOthers(velk, user.uid()));
    const fs::path sam = velk / "sam_42_7_0";
    ASSERT_TRUE(fs::exists(sam)) << "no SAM file for a session with NLA and a hash";
    EXPECT_EQ(fs::status(sam).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(fs::exists(velk / "proxy_7_0"));
    EXPECT_TRUE(fs::exists(velk / ("rdp_transport_" + std::to_string(user.uid()) + "_0.log")));
    for (const auto& entry : fs::directory_iterator(velk)) {
        EXPECT_TRUE(ownedAndNotWritableByOthers(entry.path(), user.uid()));
    }

    client.reset();
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(sam) && !fs::exists(velk / "proxy_7_0"); }, seconds(10)));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// Run as nobody, so the bus tells the sender apart from the manager. A
// signal with a destination reaches it whatever its match rules say.
ProcessResult sendAsNobody(const PrivateBus& bus, const std::vector<std::string>& signalAndArgs,
                           const std::string& destination = {}) {
    std::vector<std::string> argv = {"/usr/bin/setpriv",   "--reuid=65534", "--regid=65534", "--clear-groups",
                                     "/usr/bin/dbus-send", "--system",      "--type=signal"};
    if (!destination.empty()) {
        argv.push_back("--dest=" + destination);
    }
    argv.emplace_back("/ru/tavio/velk");
    argv.push_back("ru.tavio.velk." + signalAndArgs.front());
    argv.insert(argv.end(), signalAndArgs.begin() + 1, signalAndArgs.end());
    return runProcess(argv, {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
}

ProcessResult askBus(const PrivateBus& bus, const std::vector<std::string>& methodAndArgs) {
    std::vector<std::string> argv = {
        "/usr/bin/dbus-send",    "--system",
        "--print-reply",         "--dest=org.freedesktop.DBus",
        "/org/freedesktop/DBus", "org.freedesktop.DBus." + methodAndArgs.front()};
    argv.insert(argv.end(), methodAndArgs.begin() + 1, methodAndArgs.end());
    return runProcess(argv, {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
}

// The unique bus name of the connection that process pid holds.
std::string uniqueNameOf(const PrivateBus& bus, pid_t pid) {
    std::istringstream names(askBus(bus, {"ListNames"}).out);
    std::string word;
    while (names >> word) {
        if (word.size() > 3 && word.compare(0, 2, "\":") == 0) {
            std::string name = word.substr(1, word.size() - 2);
            const std::string owner = askBus(bus, {"GetConnectionUnixProcessID", "string:" + name}).out;
            if (owner.find("uint32 " + std::to_string(pid) + "\n") != std::string::npos) {
                return name;
            }
        }
    }
    return {};
}

class ForgedSignals : public ::testing::Test {
protected:
    void SetUp() override {
        if (!journal.failure().empty() || !runningAsRoot()) {
            GTEST_SKIP() << "needs root and a private journal " << journal.failure();
        }
    }
    PrivateJournal journal;
    // No policy for the manager's name: anyone's signal reaches the proxy.
    ProxyHarness harness{"ok", BusPolicy::Stock};
};

TEST_F(ForgedSignals, AnotherUsersSignalsAreDroppedAndOnlyTheManagerEvenRestartedDrivesTheProxy) {
    harness.start();
    const pid_t pid = harness.proxy->pid();
    const std::vector<std::vector<std::string>> forged = {
        {"signalProxyListenTimeout", "uint32:4294967295"},
        {"signalProxyAllowConnection", "uint32:7", "uint32:1"},
        {"signalSessionDisconnected", "uint32:7", "uint32:1", "string:x"},
        {"signalVelkStopped"},
    };
    const std::string proxyName = uniqueNameOf(harness.bus, pid);
    ASSERT_FALSE(proxyName.empty());
    for (const auto& signal : forged) {
        ASSERT_EQ(sendAsNobody(harness.bus, signal).exitCode(), 0) << signal.front();
        ASSERT_EQ(sendAsNobody(harness.bus, signal, proxyName).exitCode(), 0) << signal.front();
    }
    EXPECT_EQ(journal.messages("dropped, sender", forged.size(), seconds(5), pid).size(), forged.size());
    EXPECT_TRUE(harness.proxy->running()) << "a forged stop ended the proxy";
    EXPECT_EQ(harness.countNotices("proxyListenStarted"), 0U) << "a forged allowance opened the port";

    // The manager's own time-out is obeyed, up to its cap.
    harness.manager.emit("signalProxyListenTimeout", {"4294967295"});
    ASSERT_EQ(harness.allowConnection(8, 1), true);
    EXPECT_EQ(journal.messages("session id: 8, timeout: 300", 1, seconds(5), pid).size(), 1U);
    harness.manager.emit("signalSessionDisconnected", {"8", "0", "x"});
    ASSERT_EQ(journal.messages("session disconnected", 1, seconds(5), pid).size(), 1U);

    // A restarted manager has a new unique name, and is obeyed all the same.
    ASSERT_TRUE(harness.manager.stop());
    StandinManager restarted(harness.bus);
    ASSERT_TRUE(waitUntil(
        [&] { return journal.messages("onNameOwnerChanged", 2, seconds(0), pid).size() >= 2; }, seconds(5)));
    restarted.emit("signalProxyAllowConnection", {"9", "1"});
    EXPECT_TRUE(restarted.waitForNotice("proxyListenStarted 9 true", seconds(10)));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST(ProxyAccounts, AnUnknownUserOrAFailedSwitchEndsTheProxyBeforeItActs) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "changing the user needs root";
    }
    TestUser user;
    ProxyHarness harness;
    harness.writeConfig();
    harness.launch({"--config", harness.configPath().string(), "--user", "velk-no-such-user"});
    const auto unknown = harness.proxy->wait(seconds(10));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->exitCode(), 1);
    EXPECT_NE(unknown->err.find("velk_proxy: no such user: velk-no-such-user\n"), std::string::npos)
        << unknown->err;

    // Without the capabilities to change ids root stays root: it must not go on.
    harness.launcher = {"/usr/bin/setpriv", "--bounding-set=-setuid,-setgid"};
    harness.launch({"--config", harness.configPath().string(), "--user", user.name()});
    const auto failed = harness.proxy->wait(seconds(10));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->exitCode(), 1);
    EXPECT_NE(failed->err.find("change of user failed"), std::string::npos) << failed->err;
    EXPECT_EQ(harness.countNotices("velkTest"), 0U) << "the proxy reached the manager";
}

TEST(ProxyAccounts, WithoutHomeTheAccountsHomeIsUsedAndItsVelkDirectoryIsPrivate) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "running as another user needs root";
    }
    TestUser user;
    const fs::path velk = fs::path(user.home()) / ".velk";
    ProxyHarness harness;
    harness.launcher = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid()),
                        "--regid=" + std::to_string(user.gid()), "--init-groups"};
    harness.unsetEnv = {"HOME"};
    harness.start();
    EXPECT_TRUE(fs::is_directory(velk));
    EXPECT_EQ(fs::status(velk).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(harness.velkDir())) << "the environment's home was used";
    EXPECT_EQ(harness.stop().exitCode(), 0);

    // A ".velk" that is a link to somewhere else is never used.
    const TempDir elsewhere;
    ASSERT_EQ(chown(elsewhere.path().c_str(), user.uid(), user.gid()), 0);
    fs::remove_all(velk);
    fs::create_directory_symlink(elsewhere.path(), velk);
    harness.launch({"--config", harness.configPath().string()});
    const auto refused = harness.proxy->wait(seconds(10));
    ASSERT_TRUE(refused);
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
    EXPECT_EQ(harness.countNotices("velkTest"), 1U) << "the proxy started on a linked directory";
}

class ProxySessions : public JournaledProxyTest {};

TEST_F(ProxySessions, PlantedLinksAndLeftoverFilesAreReplacedNeverWrittenThrough) {
    const TempDir outside;
    const fs::path victim = outside.path() / "victim";
    writeFile(victim, "precious");
    fs::create_directories(harness.velkDir());
    fs::permissions(harness.velkDir(), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    fs::create_symlink(victim, harness.velkDir() / "sam_42_7_0");
    fs::create_symlink(victim, harness.velkDir() / "rdp_transport_1000_0.log");
    harness.start();
    EXPECT_EQ(fs::status(harness.velkDir()).permissions() & fs::perms::all, fs::perms::owner_all);

    harness.manager.setSessionInfo(R"({"sec:nla": true, "ntlm": "user:hash", "uid": 1000})");
    const ForwardedClient forwarded = forwardClient(harness, 7, 42);
    ASSERT_GE(forwarded.fd, 0);
    Fd client(forwarded.fd);
    EXPECT_EQ(readFile(victim), "precious");
    for (const char* name : {"sam_42_7_0", "rdp_transport_1000_0.log"}) {
        EXPECT_FALSE(fs::is_symlink(harness.velkDir() / name)) << name;
    }
    EXPECT_EQ(readFile(harness.velkDir() / "sam_42_7_0"), "user:hash\n");
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxySessions, ASessionOfAnotherUserIsRefusedBeforeAnyFileOrTransport) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "changing the user needs root";
    }
    TestUser user;
    harness.config["x11rdp:args"] = Json::Value(Json::arrayValue);
    harness.config["x11rdp:args"].append("/ipc-socket:%{socket}");
    harness.config["x11rdp:args"].append("/standin:echo");
    harness.start({"--user", user.name()}, {{"HOME", user.home()}});
    const fs::path velk = fs::path(user.home()) / ".velk";
    const std::string own = std::to_string(user.uid());
    const std::vector<std::string> others = {
        R"({"uid": 0, "sec:nla": true, "ntlm": "root:hash"})",
        R"({"uid": )" + own + R"(, "username": "root", "sec:nla": true, "ntlm": "root:hash"})",
    };
    for (size_t index = 0; index < others.size(); ++index) {
        harness.manager.setSessionInfo(others[index]);
        const uint32_t sessionId = 20 + static_cast<uint32_t>(index);
        ASSERT_EQ(harness.allowConnectionOnceIdle(sessionId, 1), true);
        Fd client(connectLoopback(harness.port()));
        EXPECT_TRUE(peerClosed(client.get(), seconds(5))) << others[index];
    }
    EXPECT_EQ(proxyMessages("session of another user refused", 2).size(), 2U);
    EXPECT_EQ(harness.countNotices("proxySessionConnected"), 0U);
    EXPECT_TRUE(childrenOf(harness.proxy->pid()).empty()) << "a transport was started";
    for (const auto& entry : fs::directory_iterator(velk)) {
        ADD_FAILURE() << "left in the user's .velk: " << entry.path();
    }

    harness.manager.setSessionInfo(R"({"uid": )" + own + R"(, "username": ")" + user.name() + R"("})");
    const ForwardedClient forwarded = forwardClient(harness, 30);
    ASSERT_GE(forwarded.fd, 0) << "the user's own session";
    Fd client(forwarded.fd);
    EXPECT_EQ(exchange(client.get(), "ping", 4), "ping");
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxySessions, ProbesThatCloseOrStaySilentDoNotTakeTheSessionTheClientThatSpeaksDoes) {
    harness.config["listen:first-bytes-timeout"] = 1;
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    Fd closing(connectLoopback(harness.port()));
    Fd silent(connectLoopback(harness.port()));
    ASSERT_TRUE(closing.get() >= 0 && silent.get() >= 0);
    closing.reset();
    EXPECT_EQ(proxyMessages("reason: closed").size(), 1U);
    EXPECT_EQ(proxyMessages("reason: silent").size(), 1U);
    EXPECT_TRUE(peerClosed(silent.get(), seconds(2)));

    Fd waiting(connectLoopback(harness.port()));
    Fd client(connectLoopback(harness.port()));
    ASSERT_TRUE(sendAll(client.get(), "ping"));
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0));
    EXPECT_EQ(receiveAll(client.get(), 4, seconds(5)), "ping") << "the first bytes reach the transport";
    EXPECT_TRUE(peerClosed(waiting.get(), seconds(2))) << "a client still silent keeps a place";
    EXPECT_EQ(harness.countNotices("proxyClientConnected"), 1U);
    EXPECT_EQ(childrenOf(harness.proxy->pid()).size(), 1U) << "one transport, for the client that spoke";
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
