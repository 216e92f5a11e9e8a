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
#include <tuple>

#include "client_io.h"
#include "forwarded_client.h"
#include "journaled_proxy_test.h"
#include "private_journal.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::milliseconds;
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

// Only the proxy of a session's owner opens anything for it or says
// anything to the manager; a session of its own whose description would put
// a control character into a file is refused, and the manager told so.
TEST_F(ProxySessions, AnOrdinaryUsersProxyAnswersOnlyItsUsersSessionsAndRefusesUnsafeOnes) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "changing the user needs root";
    }
    TestUser user;
    harness.config["x11rdp:args"] = Json::Value(Json::arrayValue);
    harness.config["x11rdp:args"].append("/ipc-socket:%{socket}");
    harness.config["x11rdp:args"].append("/standin:echo");
    harness.start({"--user", user.name()}, {{"HOME", user.home()}});
    const std::string own = std::to_string(user.uid());
    const std::vector<std::pair<uint32_t, std::string>> refused = {
        {20, R"({"uid": 0, "sec:nla": true, "ntlm": "root:hash"})"},
        {21, R"({"uid": )" + own + R"(, "username": "root"})"},
        {22, R"({"display": 3})"},
        {23, R"({"uid": )" + own + R"(, "sec:nla": true, "ntlm": "user:hash\nroot:hash"})"},
    };
    for (const auto& [sessionId, description] : refused) {
        harness.manager.setSessionInfo(sessionId, description);
        harness.manager.emit("signalProxyAllowConnection", {std::to_string(sessionId), "1"});
    }
    EXPECT_EQ(proxyMessages("not this proxy's, session id: 2", 3).size(), 3U);
    EXPECT_EQ(proxyMessages("session refused, control character in `ntlm', session id: 23").size(), 1U);
    EXPECT_TRUE(harness.manager.waitForNotice("proxyListenStarted 23 false", seconds(5)));
    EXPECT_EQ(harness.countNotices("proxyListenStarted 2"), 1U) << "only the refusal of its own session";
    EXPECT_EQ(harness.countNotices("velkSessionInfoJson 20 [denied"), 1U)
        << "the manager kept root's session";
    EXPECT_TRUE(childrenOf(harness.proxy->pid()).empty()) << "a transport was started";
    const fs::path velk = fs::path(user.home()) / ".velk";
    for (const auto& entry : fs::directory_iterator(velk)) {
        if (entry.path().filename() != "status") {
            ADD_FAILURE() << "left in the user's .velk: " << entry.path();
        }
    }

    harness.manager.setSessionInfo(R"({"uid": )" + own + R"(, "username": ")" + user.name() + R"("})");
    Fd client(harness.forwardClient(30));
    ASSERT_GE(client.get(), 0) << "the user's own session";
    EXPECT_EQ(exchange(client.get(), "ping", 4), "ping");
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// Every user's proxy on a host shares the port and hears every allowance:
// each is answered by its owner's proxy alone, whose client reaches that
// user's transport, and the manager hears no false word.
TEST_F(ProxySessions, TwoUsersProxiesOnOnePortEachAnswerTheirOwnSessionsAlone) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "changing the user needs root";
    }
    const TestUser ann;
    const TestUser bob;
    harness.config["x11rdp:args"] = Json::Value(Json::arrayValue);
    harness.config["x11rdp:args"].append("/ipc-socket:%{socket}");
    harness.config["x11rdp:args"].append("/standin:echo");
    harness.start({"--user", ann.name()}, {{"HOME", ann.home()}});
    ChildProcess bobsProxy(
        {VELK_PROXY_BINARY, "--config", harness.configPath().string(), "--user", bob.name()},
        {{"DBUS_SYSTEM_BUS_ADDRESS", harness.bus.address()}, {"HOME", bob.home()}});
    ASSERT_TRUE(waitUntil([&] { return harness.countNotices("velkTest") == 2; }, seconds(10)));
    const std::vector<std::tuple<uint32_t, const TestUser*, pid_t>> sessions = {
        {7, &ann, harness.proxy->pid()}, {8, &bob, bobsProxy.pid()}};
    for (const auto& [sessionId, user, proxyPid] : sessions) {
        harness.manager.setSessionInfo(sessionId, R"({"uid": )" + std::to_string(user->uid()) + "}");
    }
    for (int round = 0; round < 2; ++round) {
        for (const auto& [sessionId, user, proxyPid] : sessions) {
            Fd client(harness.forwardClient(sessionId));
            ASSERT_GE(client.get(), 0) << "session " << sessionId;
            EXPECT_EQ(exchange(client.get(), "ping", 4), "ping");
            const auto children = childrenOf(proxyPid);
            EXPECT_NE(std::find(children.begin(), children.end(), harness.transportPid(sessionId)),
                      children.end())
                << "session " << sessionId << " reached another user's transport";
        }
    }
    for (const char* answer : {"proxyListenStarted 7 true", "proxyListenStarted 8 true"}) {
        EXPECT_EQ(harness.countNotices(answer), 2U) << answer;
    }
    EXPECT_EQ(harness.countNotices("proxyListenStarted 7 false") +
                  harness.countNotices("proxyListenStarted 8 false"),
              0U);
    EXPECT_TRUE(journal.messages("Address already in use", 0, milliseconds(0)).empty());
    bobsProxy.signal(SIGTERM);
    const auto bobsEnd = bobsProxy.wait(seconds(10));
    ASSERT_TRUE(bobsEnd);
    EXPECT_EQ(bobsEnd->exitCode(), 0);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// A probe of the port, of whatever kind and however many, is dropped
// without a transport or a word to the manager, in a few lines.
TEST_F(ProxySessions, ProbesOfEveryKindAreDroppedInAFewLinesAndTheRdpClientTakesTheSession) {
    harness.config["listen:first-bytes-timeout"] = 1;
    harness.start();
    ASSERT_EQ(harness.allowConnection(7, 1), true);
    Fd http(connectLoopback(harness.port()));
    Fd garbage(connectLoopback(harness.port()));
    Fd silent(connectLoopback(harness.port()));
    ASSERT_TRUE(sendAll(http.get(), "GET / HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(sendAll(garbage.get(), std::string("\x03\x00\x00\x13\x0e\xf0\x00", 7)));
    EXPECT_TRUE(peerClosed(http.get(), seconds(2)));
    EXPECT_TRUE(peerClosed(garbage.get(), seconds(2)));
    EXPECT_TRUE(peerClosed(silent.get(), seconds(3)));
    constexpr int flood = 2000;
    for (int probe = 0; probe < flood; ++probe) {
        Fd closing(connectLoopback(harness.port()));
        ASSERT_GE(closing.get(), 0) << probe;
    }

    Fd client(connectRdpClient(harness.port()));
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0));
    ASSERT_TRUE(readConnectionConfirm(client.get()));
    EXPECT_EQ(exchange(client.get(), "ping", 4), "ping") << "the request reached the transport";
    EXPECT_EQ(harness.countNotices("proxyClientConnected"), 1U);
    EXPECT_EQ(childrenOf(harness.proxy->pid()).size(), 1U) << "one transport, for the RDP client";

    const auto held = proxyMessages("more clients dropped");
    ASSERT_EQ(held.size(), 1U);
    const size_t lines = proxyMessages("client dropped before", 1).size();
    EXPECT_LE(lines, 5U);
    EXPECT_EQ(std::stoul(held.front().substr(held.front().find(": ") + 2)) + lines, flood + 3U)
        << held.front();
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
