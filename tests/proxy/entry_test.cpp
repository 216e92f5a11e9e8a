// velk_proxy's entry as a process: the command line, the configuration check,
// the change of user, background mode, the stop signals and the top-level
// errors, with the messages read from a private journal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "private_journal.h"
#include "proxy_harness.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string usageTail =
    " [--background] [--config PATH] [--user USER] [--check-config] [--status] [--help] [--version]\n";

std::string statusField(pid_t pid, const std::string& field) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return line.substr(field.size() + 1);
        }
    }
    return {};
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;) {
        result.push_back(word);
    }
    return result;
}

// A wrong command line is a failure: the usage line goes to standard error.
TEST(ProxyCommandLine, AnUnknownOptionOrAMissingValueGivesTheUsageLineAndStatusTwo) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-v"},
                                               {"--config"},
                                               {"--user"},
                                               {"--configs=/etc"},
                                               {"--background", "--config"},
                                               {"--config", "/etc", "extra"}}) {
        std::vector<std::string> argv = {VELK_PROXY_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = runProcess(argv);
        EXPECT_EQ(result.exitCode(), 2) << args.front();
        EXPECT_EQ(result.err, "usage: " + std::string(VELK_PROXY_BINARY) + usageTail) << args.front();
        EXPECT_EQ(result.out, "") << args.front();
    }
}

TEST(ProxyCommandLine, HelpAndVersionAnswerWithStatusZeroWhateverFollows) {
    const auto help = runProcess({VELK_PROXY_BINARY, "--help", "--config", "/nonexistent"});
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_EQ(help.out.rfind("usage: " + std::string(VELK_PROXY_BINARY) + usageTail, 0), 0U) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
    const auto version = runProcess({VELK_PROXY_BINARY, "--version"});
    EXPECT_EQ(version.exitCode(), 0);
    EXPECT_EQ(version.out, "velk_proxy " VELK_VERSION "\n");
}

TEST(ProxyCommandLine, AMissingConfigurationEndsWithStatusOneAndItsPath) {
    TempDir empty;
    for (const char* options : {"", " --check-config"}) {
        const auto inEmptyDirectory = runProcess(
            {"/bin/sh", "-c", "cd '" + empty.path().string() + "' && exec " VELK_PROXY_BINARY + options});
        EXPECT_EQ(inEmptyDirectory.exitCode(), 1) << options;
        EXPECT_EQ(inEmptyDirectory.err, "config not found: velk_proxy.json\n") << options;
        EXPECT_EQ(inEmptyDirectory.out, "") << options;
    }

    // Of two paths the second counts.
    writeFile(empty / "velk_proxy.json", "{}");
    const std::string missing = (empty / "missing.json").string();
    const auto secondMissing = runProcess(
        {VELK_PROXY_BINARY, "--config", (empty / "velk_proxy.json").string(), "--config", missing});
    EXPECT_EQ(secondMissing.exitCode(), 1);
    EXPECT_EQ(secondMissing.err, "config not found: " + missing + "\n");
}

TEST(ProxyCommandLine, AValueFollowsItsOptionAfterASpaceOrAnEqualsSign) {
    TempDir dir;
    const std::string config = (dir / "velk_proxy.json").string();
    writeFile(config, "{}");
    const std::string missing = (dir / "missing.json").string();
    const auto checked =
        runProcess({VELK_PROXY_BINARY, "--check-config", "--user=nobody", "--config=" + config});
    EXPECT_EQ(checked.exitCode(), 0) << checked.err;
    EXPECT_EQ(checked.out, config + ": OK\n");
    const auto notFound = runProcess({VELK_PROXY_BINARY, "--config=" + missing, "--user", "nobody"});
    EXPECT_EQ(notFound.exitCode(), 1);
    EXPECT_EQ(notFound.err, "config not found: " + missing + "\n");
}

class ProxyEntry : public ::testing::Test {
protected:
    bool journalMissing() const { return !journal.failure().empty(); }

    // First: it has to exist before any thread does.
    PrivateJournal journal;
    ProxyHarness harness;
};

TEST_F(ProxyEntry, ADirectoryAsConfigurationPassesTheExistenceCheckAndFailsTheFileCheck) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    TempDir directory;
    harness.launch({"--config", directory.path().string()});
    const auto result = harness.proxy->wait(seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 1);
    const std::string problem = directory.path().string() + ": cannot be read: Is a directory";
    EXPECT_EQ(result->err, problem + "\n");
    EXPECT_EQ(journal.messages("checkConfig", 1, seconds(5), harness.proxy->pid()),
              std::vector<std::string>{"checkConfig: " + problem});
    EXPECT_EQ(harness.countNotices("velkTest"), 0U);
}

TEST_F(ProxyEntry, AnAbsentManagerIsADbusErrorWithStatusOne) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    ASSERT_TRUE(harness.manager.stop());
    harness.writeConfig();
    harness.launch({"--config", harness.configPath().string()});
    const auto result = harness.proxy->wait(seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 1);
    const auto lines = journal.messages("dbus error: ", 1, seconds(5), harness.proxy->pid());
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines.front().find("ru.tavio.velk"), std::string::npos) << lines.front();
}

TEST_F(ProxyEntry, AnUnreachableBusIsADbusErrorWithStatusOne) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    harness.writeConfig();
    TempDir nowhere;
    harness.launch({"--config", harness.configPath().string()},
                   {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (nowhere / "bus").string()}});
    const auto result = harness.proxy->wait(seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 1);
    EXPECT_EQ(journal.messages("dbus error: ", 1, seconds(5), harness.proxy->pid()).size(), 1U);
}

TEST_F(ProxyEntry, ManagerStopSignalEndsAnIdleProxyPromptlyWithStatusZero) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    harness.start();
    harness.manager.emit("signalVelkStopped");
    // The periodic task sleeps 150 ms at a time; seconds are ample even for
    // a build with sanitizers.
    const auto result = harness.proxy->wait(seconds(3));
    ASSERT_TRUE(result) << "still running three seconds after the stop signal";
    EXPECT_EQ(result->exitCode(), 0);
    const pid_t pid = harness.proxy->pid();
    EXPECT_EQ(journal.messages("signalVelkStopped", 1, seconds(5), pid),
              std::vector<std::string>{"signalVelkStopped, pid: " + std::to_string(pid)});
    EXPECT_EQ(journal.messages("stopped, reason", 1, seconds(5), pid),
              std::vector<std::string>{"start: stopped, reason: manager stopped"});
}

TEST_F(ProxyEntry, StartedNoticeNamesTheVersionPidAndUser) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    harness.start();
    const pid_t pid = harness.proxy->pid();
    const auto lines = journal.messages("start: started", 1, seconds(5), pid);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines.front().rfind("start: started, version VELK PROXY v.", 0), 0U) << lines.front();
    EXPECT_NE(lines.front().find(", pid: " + std::to_string(pid) + ", uid: 0"), std::string::npos);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST(ProxyServiceCheck, AnEmptyReplyStopsTheStartWithStatusOne) {
    PrivateJournal journal;
    if (!journal.failure().empty()) {
        GTEST_SKIP() << journal.failure();
    }
    ProxyHarness harness("");
    harness.start();
    const auto result = harness.proxy->wait(seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 1);
    EXPECT_EQ(journal.messages("check service", 1, seconds(5), harness.proxy->pid()),
              std::vector<std::string>{"start: check service: failed"});
}

TEST_F(ProxyEntry, RunsAsTheUserGivenWithTheUsersGroups) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "changing the user needs root";
    }
    TestUser user;
    harness.start({"--user", user.name()}, {{"HOME", user.home()}});
    const pid_t pid = harness.proxy->pid();
    const std::string uid = std::to_string(user.uid());
    const std::string gid = std::to_string(user.gid());
    EXPECT_EQ(words(statusField(pid, "Uid")), (std::vector<std::string>{uid, uid, uid, uid}));
    EXPECT_EQ(words(statusField(pid, "Gid")), (std::vector<std::string>{gid, gid, gid, gid}));
    const auto groups = words(statusField(pid, "Groups"));
    EXPECT_NE(std::find(groups.begin(), groups.end(), std::to_string(user.extraGid())), groups.end());
    EXPECT_EQ(fs::status(fs::path(user.home()) / ".velk").type(), fs::file_type::directory);
    struct stat st {};
    ASSERT_EQ(stat((fs::path(user.home()) / ".velk").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user.uid());
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// The daemon of background mode, found as the orphan that the test process
// adopts as a child subreaper, and reaped by its pid.
class Daemon {
public:
    explicit Daemon(pid_t daemonPid) : pid(daemonPid) {}
    ~Daemon() {
        if (!status) {
            kill(pid, SIGKILL);
            int ignored = 0;
            waitpid(pid, &ignored, 0);
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool running() {
        int raw = 0;
        if (!status && waitpid(pid, &raw, WNOHANG) == pid) {
            status = raw;
        }
        return !status;
    }

    const pid_t pid;
    std::optional<int> status;
};

pid_t adoptedProxy() {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code ec;
        const auto exe = fs::read_symlink(entry.path() / "exe", ec);
        if (!ec && exe == fs::path(VELK_PROXY_BINARY) &&
            statusField(std::stoi(name), "PPid") == std::string("\t").append(std::to_string(getpid()))) {
            return std::stoi(name);
        }
    }
    return -1;
}

TEST_F(ProxyEntry, BackgroundModeReturnsAtOnceAndItsDaemonIgnoresSigint) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    harness.writeConfig();
    harness.launch({"--background", "--config", harness.configPath().string()});
    const auto parent = harness.proxy->wait(seconds(5));
    ASSERT_TRUE(parent);
    EXPECT_EQ(parent->exitCode(), 0);

    pid_t found = -1;
    ASSERT_TRUE(waitUntil([&] { return (found = adoptedProxy()) > 0; }, seconds(5)));
    Daemon daemon(found);
    ASSERT_TRUE(harness.manager.waitForNotice("velkTest", seconds(10)));

    kill(daemon.pid, SIGINT);
    // Still serving the manager after SIGINT.
    EXPECT_EQ(harness.allowConnection(7, 1), true);
    EXPECT_TRUE(daemon.running());

    kill(daemon.pid, SIGTERM);
    ASSERT_TRUE(waitUntil([&] { return !daemon.running(); }, seconds(10)));
    EXPECT_TRUE(WIFEXITED(*daemon.status));
    EXPECT_EQ(WEXITSTATUS(*daemon.status), 0);
}

// The manager is held stopped, so the proxy waits in its service check; a
// SIGTERM then has to stop it once the manager answers.
TEST_F(ProxyEntry, ASigtermDuringTheServiceCheckIsNotLost) {
    harness.writeConfig();
    kill(harness.manager.pid(), SIGSTOP);
    harness.launch({"--config", harness.configPath().string()});
    const std::string wchan = "/proc/" + std::to_string(harness.proxy->pid()) + "/wchan";
    const bool waiting =
        waitUntil([&] { return readFile(wchan).rfind("poll_schedule_timeout", 0) == 0; }, seconds(5));
    harness.proxy->signal(SIGTERM);
    kill(harness.manager.pid(), SIGCONT);
    ASSERT_TRUE(waiting) << "the proxy never waited for the manager";
    ASSERT_TRUE(harness.manager.waitForNotice("velkTest", seconds(5)));
    const auto result = harness.proxy->wait(seconds(5));
    ASSERT_TRUE(result) << "the SIGTERM was overwritten by the start";
    EXPECT_EQ(result->exitCode(), 0);
}

TEST_F(ProxyEntry, SigintStopsAForegroundProxy) {
    harness.start();
    harness.proxy->signal(SIGINT);
    const auto result = harness.proxy->wait(seconds(5));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 0);
}

}  // namespace
