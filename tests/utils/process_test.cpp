// Child processes started for real: environment merge, argument vectors,
// output placement, the owner switch and how the parent learns the end.
#include "utils/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "logger.h"
#include "test_support.h"

namespace {

using VelkTest::EnvironmentGuard;

namespace fs = std::filesystem;
using VelkTest::readFile;
using VelkTest::TempDir;
using namespace Velk;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        result.push_back(line);
    }
    return result;
}

std::vector<std::string> strings(const std::vector<const char*>& pointers) {
    std::vector<std::string> result;
    for (const char* text : pointers) {
        if (text) {
            result.emplace_back(text);
        }
    }
    return result;
}

// Runs the shell line as a child and returns what it wrote to the log file.
std::string shellOutput(const std::string& line, const std::list<std::string>& envs = {}) {
    TempDir dir;
    const auto log = (dir / "out.log").string();
    EXPECT_TRUE(Utils::runChildProcessWait("/bin/sh", {"-c", line}, envs, nullptr, log.c_str()));
    return readFile(log);
}

TEST(ChildVectors, ArgumentVectorIsProgramThenArgumentsThenNull) {
    const std::list<std::string> args = {"-c", "echo one"};
    const auto argv = Utils::createARGV("/bin/sh", args);
    ASSERT_EQ(argv.size(), 4U);
    EXPECT_STREQ(argv[0], "/bin/sh");
    EXPECT_STREQ(argv[1], "-c");
    EXPECT_STREQ(argv[2], "echo one");
    EXPECT_EQ(argv[3], nullptr);

    const auto alone = Utils::createARGV("/bin/true", {});
    ASSERT_EQ(alone.size(), 2U);
    EXPECT_STREQ(alone[0], "/bin/true");
    EXPECT_EQ(alone[1], nullptr);
}

TEST(ChildVectors, SessionVariableReplacesTheInheritedOneAndComesLast) {
    EnvironmentGuard display("DISPLAY", ":0");
    const std::list<std::string> envs = {"DISPLAY=:10"};
    const auto envp = Utils::createENVP(envs);
    ASSERT_EQ(envp.back(), nullptr);

    const auto entries = strings(envp);
    const auto displays = std::count_if(entries.begin(), entries.end(), [](const std::string& entry) {
        return entry.rfind("DISPLAY=", 0) == 0;
    });
    EXPECT_EQ(displays, 1);
    EXPECT_EQ(entries.back(), "DISPLAY=:10");
}

TEST(ChildVectors, InheritedNameIsComparedOverItsOwnLength) {
    EnvironmentGuard home("HOME", "/root");
    EnvironmentGuard homeDir("HOMEDIR", "/kept");
    const auto entries = strings(Utils::createENVP({"HOMEX=1"}));
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "HOME=/root"), 0) << "HOMEX=1 drops HOME";
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "HOMEDIR=/kept"), 1)
        << "HOMEDIR is longer than HOMEX";
    EXPECT_EQ(entries.back(), "HOMEX=1");
}

TEST(ChildVectors, InheritedOrderIsKept) {
    EnvironmentGuard first("VELK_ORDER_A", "1");
    EnvironmentGuard second("VELK_ORDER_B", "2");
    const auto entries = strings(Utils::createENVP({}));
    const auto a = std::find(entries.begin(), entries.end(), "VELK_ORDER_A=1");
    const auto b = std::find(entries.begin(), entries.end(), "VELK_ORDER_B=2");
    ASSERT_NE(a, entries.end());
    ASSERT_NE(b, entries.end());
    EXPECT_LT(a, b);
}

TEST(ChildStart, ChildSeesMergedEnvironmentOnce) {
    EnvironmentGuard display("DISPLAY", ":0");
    const auto env = lines(shellOutput("env", {"DISPLAY=:10"}));
    const auto displays = std::count_if(
        env.begin(), env.end(), [](const std::string& entry) { return entry.rfind("DISPLAY=", 0) == 0; });
    EXPECT_EQ(displays, 1);
    EXPECT_NE(std::find(env.begin(), env.end(), "DISPLAY=:10"), env.end());
}

TEST(ChildStart, ArgumentsArriveUnchangedAndArgumentZeroIsThePath) {
    TempDir dir;
    const auto script = dir / "args.sh";
    VelkTest::writeFile(script, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\"\n");
    fs::permissions(script, fs::perms::owner_all);
    const auto log = (dir / "out.log").string();
    ASSERT_TRUE(Utils::runChildProcessWait(script, {"a b", "", "$HOME"}, {}, nullptr, log.c_str()));
    EXPECT_EQ(lines(readFile(log)), (std::vector<std::string>{script.string(), "a b", "", "$HOME"}));
}

TEST(ChildStart, OnlyStandardDescriptorsReachTheProgram) {
    const int leaked = dup2(STDIN_FILENO, 57);
    ASSERT_EQ(leaked, 57);
    const auto fds = lines(shellOutput("ls /proc/$$/fd"));
    close(leaked);
    EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"}));
}

TEST(ChildStart, OutputGoesToDevNullWithoutLogFileOrOwner) {
    TempDir dir;
    const auto target = (dir / "where").string();
    ASSERT_TRUE(Utils::runChildProcessWait(
        "/bin/sh", {"-c", "x=$(readlink /proc/$$/fd/1 /proc/$$/fd/2); echo \"$x\" >" + target}, {}, nullptr,
        nullptr));
    EXPECT_EQ(readFile(target), "/dev/null\n/dev/null\n");
}

TEST(ChildStart, AnEmptyLogFileKeepsTheParentsOutputs) {
    VelkTest::StderrCapture capture;
    ASSERT_TRUE(Utils::runChildProcessWait("/bin/sh", {"-c", "echo to-stderr >&2"}, {}, nullptr,
                                           Utils::inheritOutputs));
    EXPECT_EQ(capture.finish(), "to-stderr\n");
}

TEST(ChildStart, LogFileIsTruncatedAndOwnerOnlyPlusGroupRead) {
    TempDir dir;
    const auto log = dir / "child.log";
    VelkTest::writeFile(log, "old contents that must disappear\n");
    ASSERT_TRUE(Utils::runChildProcessWait("/bin/echo", {"fresh"}, {}, nullptr, log.c_str()));
    EXPECT_EQ(readFile(log), "fresh\n");

    fs::remove(log);
    const mode_t oldMask = umask(0);
    ASSERT_TRUE(Utils::runChildProcessWait("/bin/echo", {"x"}, {}, nullptr, log.c_str()));
    umask(oldMask);
    struct stat st {};
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640U);
}

TEST(ChildStart, MissingProgramThrowsBeforeAnythingIsForked) {
    Syslog::error("%s: %s", "test", "the journal keeps one socket open once it was used");
    const int before = VelkTest::countOpenDescriptors();
    try {
        Utils::runChildProcess("/nonexistent/velk-program", {}, {}, nullptr, nullptr);
        FAIL() << "no exception";
    } catch (const velk_error& err) {
        EXPECT_STREQ(err.what(), "runChildProcess");
    }
    EXPECT_FALSE(Utils::runChildProcessWait("/nonexistent/velk-program", {}, {}, nullptr, nullptr));
    EXPECT_THROW(Utils::runChildProcessBack("/nonexistent/velk-program", {}, {}), velk_error);
    EXPECT_EQ(VelkTest::countOpenDescriptors(), before);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was forked";
}

TEST(ChildStart, RelativePathIsNeverSearchedInPath) {
    TempDir dir;
    const auto previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_THROW(Utils::runChildProcess("true", {}, {}), velk_error);

    VelkTest::writeFile(dir / "local.sh", "#!/bin/sh\necho local > ran\n");
    fs::permissions(dir / "local.sh", fs::perms::owner_all);
    EXPECT_TRUE(Utils::runChildProcessWait("local.sh", {}, {}, nullptr, nullptr));
    EXPECT_EQ(readFile(dir / "ran"), "local\n");
    fs::current_path(previous);
}

TEST(ChildStart, FailedExecEndsInBinFalse) {
    TempDir dir;
    VelkTest::writeFile(dir / "not-executable", "echo never\n");
    const pid_t pid = Utils::runChildProcess(dir / "not-executable", {}, {}, nullptr, nullptr);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(ChildStart, NoDescriptorOrChildIsLeftBehind) {
    Syslog::error("%s: %s", "test", "the journal keeps one socket open once it was used");
    const int before = VelkTest::countOpenDescriptors();
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(Utils::runChildProcessWait("/bin/true", {}, {}, nullptr, nullptr));
        EXPECT_EQ(Utils::runStdoutCommand("/bin/echo", {"x"}), "x");
        auto [pid, status] = Utils::runChildProcessBack("/bin/true", {}, {});
        EXPECT_EQ(status.get(), 0);
    }
    EXPECT_EQ(VelkTest::countOpenDescriptors(), before);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ChildBackground, FutureYieldsTheRawWaitStatus) {
    auto [pid, status] = Utils::runChildProcessBack("/bin/sh", {"-c", "exit 7"}, {});
    EXPECT_GT(pid, 0);
    const int raw = status.get();
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 7);

    auto [killedPid, killed] = Utils::runChildProcessBack("/bin/sleep", {"30"}, {});
    ASSERT_TRUE(VelkTest::waitUntil([pid = killedPid] { return Utils::processRunning(pid); },
                                    std::chrono::seconds(5)));
    kill(killedPid, SIGTERM);
    const int killedRaw = killed.get();
    ASSERT_TRUE(WIFSIGNALED(killedRaw));
    EXPECT_EQ(WTERMSIG(killedRaw), SIGTERM);
}

TEST(ChildHeld, EndIsSeenAndSignalsStopOnceItWasReaped) {
    auto ended = Utils::runChildProcessHeld("/bin/sh", {"-c", "exit 7"}, {});
    const auto raw = ended.reapWithin(std::chrono::seconds(10));
    ASSERT_TRUE(raw.has_value());
    EXPECT_TRUE(WIFEXITED(*raw) && WEXITSTATUS(*raw) == 7);
    EXPECT_FALSE(ended.held());
    EXPECT_FALSE(ended.signal(SIGTERM));

    auto running = Utils::runChildProcessHeld("/bin/sleep", {"30"}, {});
    EXPECT_FALSE(running.reapIfEnded().has_value());
    EXPECT_TRUE(running.signal(SIGTERM));
    const auto killed = running.reapWithin(std::chrono::seconds(10));
    ASSERT_TRUE(killed.has_value());
    EXPECT_TRUE(WIFSIGNALED(*killed) && WTERMSIG(*killed) == SIGTERM);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

void ignoreTerm(int /*sig*/) {}

TEST(ChildBackground, SigtermRightAfterTheStartIsNeverLostToTheParentsHandler) {
    // The proxy and the kiosk catch SIGTERM; their children must not inherit
    // that for the moment between fork and exec.
    auto* previous = signal(SIGTERM, ignoreTerm);
    for (int round = 0; round < 20; ++round) {
        auto [pid, status] = Utils::runChildProcessBack("/bin/sleep", {"30"}, {});
        kill(pid, SIGTERM);
        ASSERT_EQ(status.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "round " << round;
        const int raw = status.get();
        EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM) << "round " << round;
    }
    signal(SIGTERM, previous);
}

// The program starts with default or ignored dispositions only: the child
// shares the parent's memory until its exec, and none of the parent's
// handlers or ignores may reach it.
TEST(ChildStart, InterruptAndHangupAreIgnoredAndTheRestIsDefault) {
    auto* previousTerm = signal(SIGTERM, SIG_IGN);
    auto* previousUser = signal(SIGUSR1, ignoreTerm);
    const auto status = lines(shellOutput("grep -E '^Sig(Ign|Cgt):' /proc/$$/status"));
    signal(SIGTERM, previousTerm);
    signal(SIGUSR1, previousUser);
    ASSERT_EQ(status.size(), 2U);
    const unsigned long ignored = std::stoul(status[0].substr(status[0].find(':') + 1), nullptr, 16);
    const unsigned long hangupAndInterrupt = (1UL << (SIGHUP - 1)) | (1UL << (SIGINT - 1));
    EXPECT_EQ(ignored & hangupAndInterrupt, hangupAndInterrupt) << status[0];
    EXPECT_EQ(ignored & (1UL << (SIGTERM - 1)), 0UL) << status[0];
}

TEST(ChildStart, FailedExecIsLoggedWithItsError) {
    TempDir dir;
    VelkTest::writeFile(dir / "not-executable", "echo never\n");
    Syslog::setDebugLevel(DebugLevel::Console);
    VelkTest::StderrCapture capture;
    const pid_t pid = Utils::runChildProcess(dir / "not-executable", {}, {}, nullptr, nullptr);
    const std::string text = capture.finish();
    Syslog::setDebugLevel(DebugLevel::Info);
    waitpid(pid, nullptr, 0);
    EXPECT_NE(text.find("runOwnerCommand: execv failed, error: Permission denied, code: 13"),
              std::string::npos)
        << text;
}

TEST(ChildBackground, FailedWaitYieldsMinusOne) {
    // With SIGCHLD ignored the kernel reaps the child itself and waitpid fails.
    auto* previous = signal(SIGCHLD, SIG_IGN);
    auto [pid, status] = Utils::runChildProcessBack("/bin/true", {}, {});
    const int raw = status.get();
    signal(SIGCHLD, previous);
    EXPECT_GT(pid, 0);
    EXPECT_EQ(raw, -1);
}

TEST(ChildWait, ReturnsTrueWhateverTheExitStatus) {
    EXPECT_TRUE(Utils::runChildProcessWait("/bin/false", {}, {}, nullptr, nullptr));
    EXPECT_TRUE(Utils::runChildProcessWait("/bin/sh", {"-c", "kill -9 $$"}, {}, nullptr, nullptr));
}

TEST(ChildWait, EndsAreReportedByKind) {
    Syslog::setDebugLevel(DebugLevel::Console);
    VelkTest::StderrCapture capture;
    Utils::syslogWaitStatus(3 << 8, "caller", 11);
    Utils::syslogWaitStatus(SIGKILL, "caller", 12);
    Utils::syslogWaitStatus(0x137f, "caller", 13);  // stopped by SIGSTOP
    const std::string text = capture.finish();
    Syslog::setDebugLevel(DebugLevel::Info);

    EXPECT_NE(text.find("caller: child ended, pid: 11, exit code: 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("caller: child ended, pid: 12, killed by signal: 9\n"), std::string::npos) << text;
    EXPECT_NE(text.find("caller: child ended, pid: 13, status: 4991\n"), std::string::npos) << text;
}

TEST(StdoutCommand, OneOfTwoTrailingNewlinesIsCut) {
    EXPECT_EQ(Utils::runStdoutCommand("/usr/bin/printf", {"'x\\n\\n'"}), "x\n");
    EXPECT_EQ(Utils::runStdoutCommand("/usr/bin/printf", {"'x'"}), "x");
    EXPECT_EQ(Utils::runStdoutCommand("/bin/true", {}), "");
}

TEST(StdoutCommand, OutputLongerThanOneReadIsKeptWhole) {
    const std::string out = Utils::runStdoutCommand("/usr/bin/seq", {"1", "1000"});
    const auto numbers = lines(out);
    ASSERT_EQ(numbers.size(), 1000U);
    EXPECT_EQ(numbers.front(), "1");
    EXPECT_EQ(numbers.back(), "1000");
}

TEST(StdoutCommand, ArgumentsGoThroughTheShellUnquoted) {
    EXPECT_EQ(Utils::runStdoutCommand("/bin/echo", {"a", "b;", "echo", "c"}), "a b\nc");
}

TEST(StdoutCommand, MissingProgramThrows) {
    try {
        Utils::runStdoutCommand("/nonexistent/cvt", {});
        FAIL() << "no exception";
    } catch (const velk_error& err) {
        EXPECT_STREQ(err.what(), "runStdoutCommand");
    }
}

TEST(ProcessRunning, NonPositivePidsAreNeverRunning) {
    EXPECT_FALSE(Utils::processRunning(0));
    EXPECT_FALSE(Utils::processRunning(-1));
    EXPECT_TRUE(Utils::processRunning(getpid()));

    const pid_t pid = Utils::runChildProcess("/bin/true", {}, {});
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(Utils::processRunning(pid));
}

TEST(RedirectOutputs, UnopenableFileFallsBackToDevNull) {
    TempDir dir;
    const auto where = (dir / "where").string();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        Utils::redirectOutputsFdTo("/nonexistent/dir/file.log");
        char link[64] = {};
        const ssize_t len = readlink("/proc/self/fd/1", link, sizeof(link) - 1);
        FILE* out = fopen(where.c_str(), "w");
        fprintf(out, "%.*s", static_cast<int>(len), link);
        fclose(out);
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(readFile(where), "/dev/null");
}

}  // namespace
