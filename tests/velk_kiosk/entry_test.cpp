// velk_kiosk run as a process: options, argument and DISPLAY checks with
// their exit statuses, the rules check, the wait for the program and for one
// orphan, the program's status and output, signals, logging without a
// journal.  The cases that get as far as the window manager run on a private
// Xvfb.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "logger.h"
#include "test_support.h"
#include "xvfb_server.h"

namespace {

namespace fs = std::filesystem;
using VelkTest::ChildProcess;
using VelkTest::runProcess;
using VelkTest::TempDir;

const std::string kiosk = VELK_KIOSK_BINARY;

TEST(KioskEntry, MissingDisplayIsReportedWithStatus255) {
    const auto result = runProcess({kiosk, "/bin/true"}, {}, {"DISPLAY"});
    EXPECT_EQ(result.exitCode(), 255);
    EXPECT_EQ(result.err, "DISPLAY not found\n");

    const auto noArgs = runProcess({kiosk}, {}, {"DISPLAY"});
    EXPECT_EQ(noArgs.exitCode(), 255);
    EXPECT_EQ(noArgs.err, "DISPLAY not found\n");
}

TEST(KioskEntry, NoProgramPrintsUsageAndEndsWithZero) {
    const auto result = runProcess({kiosk}, {{"DISPLAY", ":0"}});
    EXPECT_EQ(result.exitCode(), 0);
    EXPECT_EQ(result.err, "Usage: " + kiosk + " xprog param1 param2 param3\n");
}

TEST(KioskEntry, DisplayThatIsNoLocalDisplayNameIsSaidAndEndsWith255) {
    for (const std::string display : {"foo", ":abc", "host:1", ":1x", ":-1", ":2.", ""}) {
        const auto result = runProcess({kiosk, "/bin/true"}, {{"DISPLAY", display}});
        EXPECT_EQ(result.exitCode(), 255) << display;
        EXPECT_EQ(result.err, "velk_kiosk: DISPLAY '" + display + "' is not a display name\n");
    }
}

TEST(KioskEntry, MissingProgramIsQuotedAndEndsWith255) {
    const auto result = runProcess({kiosk, "/nonexistent/my \"prog\""}, {{"DISPLAY", ":10.0"}});
    EXPECT_EQ(result.exitCode(), 255);
    EXPECT_EQ(result.err, "not found: \"/nonexistent/my \\\"prog\\\"\"\n");
}

TEST(KioskEntry, ProgramNameIsLookedUpOnlyInTheCurrentDirectory) {
    const auto result = runProcess({kiosk, "true"}, {{"DISPLAY", ":0"}});
    EXPECT_EQ(result.exitCode(), 255);
    EXPECT_EQ(result.err, "not found: \"true\"\n");
}

TEST(KioskEntry, ProgramGetsItsArgumentsAndTheKioskEndsWithIt) {
    VelkTest::XvfbServer server;
    TempDir dir;
    const auto out = dir / "args";
    const auto result = runProcess(
        {kiosk, "/bin/sh", "-c", "printf '%s|' \"$0\" \"$1\" > " + out.string(), "zero", "one two"},
        {{"DISPLAY", server.displayName()}});
    EXPECT_EQ(result.exitCode(), 0) << result.err;
    EXPECT_EQ(VelkTest::readFile(out), "zero|one two|");
}

TEST(KioskEntry, WaitsForExactlyOneOrphanAfterTheProgram) {
    VelkTest::XvfbServer server;
    TempDir dir;
    const auto quick = dir / "quick-done";
    const auto slowPid = dir / "slow-pid";
    // Two orphans: one ends soon, one only when the test stops it.
    const std::string script = "(sleep 0.3; touch " + quick.string() + ") & " +
                               "(echo $(exec sh -c 'echo $PPID') > " + slowPid.string() +
                               "; exec sleep 60) & exit 0";
    ChildProcess child({kiosk, "/bin/sh", "-c", script}, {{"DISPLAY", server.displayName()}});
    const auto result = child.wait(std::chrono::seconds(20));
    ASSERT_TRUE(result) << "the kiosk waited for the second orphan";
    EXPECT_EQ(result->exitCode(), 0);
    EXPECT_TRUE(fs::exists(quick)) << "the kiosk did not wait for the first orphan";

    ASSERT_TRUE(
        VelkTest::waitUntil([&] { return !VelkTest::readFile(slowPid).empty(); }, std::chrono::seconds(5)));
    const pid_t slow = std::stoi(VelkTest::readFile(slowPid));
    EXPECT_EQ(kill(slow, 0), 0) << "the second orphan should still run";
    kill(slow, SIGKILL);
}

// The kiosk passes SIGTERM on to its program; one that ignores it is still
// waited for, never left behind.
TEST(KioskEntry, SigtermWhileTheProgramRunsWaitsForTheProgram) {
    VelkTest::XvfbServer server;
    TempDir dir;
    const auto started = dir / "started";
    const auto go = dir / "go";
    // The program's own end (status 7) is no failure of a kiosk that was stopped.
    const std::string script = "trap '' TERM; touch " + started.string() + "; while [ ! -e " + go.string() +
                               " ]; do sleep 0.02; done; exit 7";
    ChildProcess child({kiosk, "/bin/sh", "-c", script}, {{"DISPLAY", server.displayName()}});
    ASSERT_TRUE(VelkTest::waitUntil([&] { return fs::exists(started); }, std::chrono::seconds(10)));

    child.signal(SIGTERM);
    child.signal(SIGINT);
    EXPECT_FALSE(child.wait(std::chrono::milliseconds(300))) << "the kiosk ended before its program";

    VelkTest::writeFile(go, "");
    const auto result = child.wait(std::chrono::seconds(10));
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->exited());
    EXPECT_EQ(result->exitCode(), 0);
}

TEST(KioskEntry, HelpVersionAndUnknownOptionsAreAnsweredWithoutADisplay) {
    const auto help = runProcess({kiosk, "--help"}, {}, {"DISPLAY"});
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_EQ(help.out.rfind("Usage: " + kiosk + " xprog param1 param2 param3\n", 0), 0U) << help.out;
    EXPECT_NE(help.out.find("--check-rules [PATH]"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("[--rules PATH]"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");

    const auto version = runProcess({kiosk, "--version"}, {}, {"DISPLAY"});
    EXPECT_EQ(version.exitCode(), 0);
    EXPECT_EQ(version.out, "velk_kiosk " + Velk::productVersionNumber() + "\n");

    const auto unknown = runProcess({kiosk, "-x", "/bin/true"}, {{"DISPLAY", ":0"}});
    EXPECT_EQ(unknown.exitCode(), 2);
    EXPECT_EQ(unknown.err,
              "velk_kiosk: unknown option: -x\nUsage: " + kiosk + " xprog param1 param2 param3\n");
}

// Options only in the first place: after the program's path they are its
// own, and "--" lets a program be named like one.
TEST(KioskEntry, OptionsAfterTheProgramOrAfterTwoDashesBelongToTheProgram) {
    VelkTest::XvfbServer server;
    TempDir dir;
    const auto out = dir / "args";
    const auto passed = runProcess({kiosk, "/bin/sh", "-c", "printf '%s|' \"$@\" > " + out.string(), "sh",
                                    "--help", "--version", "--check-rules"},
                                   {{"DISPLAY", server.displayName()}});
    EXPECT_EQ(passed.exitCode(), 0) << passed.err;
    EXPECT_EQ(VelkTest::readFile(out), "--help|--version|--check-rules|");

    // A script would get "--help" as its interpreter's option: a link to
    // touch is a program of that name.
    fs::create_symlink("/usr/bin/touch", dir / "--help");
    const auto named =
        runProcess({"/bin/sh", "-c", "cd '" + dir.path().string() + "' && exec " + kiosk + " -- --help ran"},
                   {{"DISPLAY", server.displayName()}});
    EXPECT_EQ(named.exitCode(), 0) << named.err;
    EXPECT_TRUE(fs::exists(dir / "ran")) << named.err;
}

TEST(KioskEntry, CheckRulesSaysEveryProblemWithLineAndColumn) {
    TempDir dir;
    const std::map<std::string, std::pair<std::string, std::string>> broken = {
        {"comma.json",
         {"[\n  {\"wm:class\": \"xterm\"},\n]\n", ":3:1: Syntax error: value, object or array expected.\n"}},
        {"object.json", {"{\"wm:class\": \"xterm\"}", ":1:1: expected an array of rules, found an object\n"}},
        {"kinds.json",
         {"[{\"frame\": \"yes\"},\n {\"fulscreen\": false, \"wm:window:type\": \"dialgo\"}, 3]",
          ":1:12: frame: expected a boolean, found a string\n"
          "%:2:16: fulscreen: unknown key, did you mean fullscreen?\n"
          "%:2:41: wm:window:type: `dialgo' is not one of \"\", dialog, utility, splash, menu, popup_menu, "
          "tooltip, notification, toolbar, dock, normal, did you mean dialog?\n"
          "%:2:52: expected an object, found an integer\n"}},
    };
    for (const auto& [name, file] : broken) {
        const std::string path = (dir / name).string();
        VelkTest::writeFile(path, file.first);
        std::string expected = path + file.second;
        for (size_t at = expected.find('%'); at != std::string::npos; at = expected.find('%', at)) {
            expected.replace(at, 1, path);
        }
        const auto result = runProcess({kiosk, "--check-rules", path}, {}, {"DISPLAY"});
        EXPECT_EQ(result.exitCode(), 1) << name;
        EXPECT_EQ(result.err, expected) << name;
        EXPECT_EQ(result.out, "") << name;
    }

    const auto missing = runProcess({kiosk, "--check-rules", (dir / "absent.json").string()});
    EXPECT_EQ(missing.exitCode(), 1);
    EXPECT_EQ(missing.err, (dir / "absent.json").string() + ": cannot be read: No such file or directory\n");

    const std::string good = std::string(VELK_TEST_SOURCE_DIR) + "/../../data/velk_kiosk.json";
    const auto fine = runProcess({kiosk, "--check-rules", good});
    EXPECT_EQ(fine.exitCode(), 0) << fine.err;
    EXPECT_EQ(fine.out, good + ": OK, 4 rules\n");
    EXPECT_EQ(runProcess({kiosk, "--check-rules", good, "extra"}).exitCode(), 2);
    const std::string toolbar = (dir / "toolbar.json").string();
    VelkTest::writeFile(toolbar, R"([{"wm:window:type": "toolbar", "fullscreen": false}])");
    EXPECT_EQ(runProcess({kiosk, "--check-rules", toolbar}).out, toolbar + ": OK, 1 rule\n");
    const std::string dock = (dir / "dock.json").string();
    VelkTest::writeFile(dock, R"([{"wm:window:type": "dock", "wm:name": "Key*"}, {"monitor": "primary"}])");
    EXPECT_EQ(runProcess({kiosk, "--check-rules", dock}).out, dock + ": OK, 2 rules\n");
}

TEST(KioskEntry, AProgramThatCannotBeExecutedIsAFailedStart) {
    TempDir dir;
    VelkTest::writeFile(dir / "plain", "#!/bin/sh\n");
    fs::permissions(dir / "plain", fs::perms::owner_read | fs::perms::owner_write);
    for (const fs::path& program : {dir / "plain", dir.path()}) {
        const auto result = runProcess({kiosk, program.string()}, {{"DISPLAY", ":0"}});
        EXPECT_EQ(result.exitCode(), 255) << program;
        EXPECT_EQ(result.err, "not executable: \"" + program.string() + "\"\n");
    }
}

// The program writes on the kiosk's own standard error, and its end is the
// kiosk's: a status as given, a signal as 128 + its number.
TEST(KioskEntry, TheProgramsOutputAndExitStatusAreTheKiosks) {
    VelkTest::XvfbServer server;
    const auto three = runProcess({kiosk, "/bin/sh", "-c", "echo said-by-the-program >&2; exit 3"},
                                  {{"DISPLAY", server.displayName()}});
    EXPECT_EQ(three.exitCode(), 3);
    EXPECT_NE(three.err.find("said-by-the-program\n"), std::string::npos) << three.err;

    const auto killed =
        runProcess({kiosk, "/bin/sh", "-c", "kill -KILL $$"}, {{"DISPLAY", server.displayName()}});
    EXPECT_TRUE(killed.exited());
    EXPECT_EQ(killed.exitCode(), 137) << killed.err;
}

// Where the machine runs a journald, this process moves into a mount
// namespace of its own in which an empty tmpfs hides the journal's socket.
std::string hideJournal() {
    const char* socketDir = "/run/systemd/journal";
    if (!fs::exists(std::string(socketDir) + "/socket")) {
        return "";
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", socketDir, "tmpfs", 0, nullptr) != 0) {
        return std::string("cannot hide the journal: ") + std::strerror(errno);
    }
    return "";
}

TEST(KioskEntry, WithoutAJournalTheLogGoesToStandardErrorAtTheLevelOfVelkLogLevel) {
    const std::string hidden = hideJournal();
    if (!hidden.empty()) {
        GTEST_SKIP() << hidden;
    }
    VelkTest::XvfbServer server;
    const auto byDefault = runProcess({kiosk, "/bin/true"}, {{"DISPLAY", server.displayName()}});
    EXPECT_EQ(byDefault.exitCode(), 0);
    EXPECT_NE(byDefault.err.find("]\tsetDebugLevel: level: debug\n"), std::string::npos) << byDefault.err;
    EXPECT_NE(byDefault.err.find("]\tstart: wait pid: "), std::string::npos) << byDefault.err;

    const auto atInfo =
        runProcess({kiosk, "/bin/true"}, {{"DISPLAY", server.displayName()}, {"VELK_LOG_LEVEL", "info"}});
    EXPECT_EQ(atInfo.exitCode(), 0);
    EXPECT_NE(atInfo.err.find("]\tsetDebugLevel: level: info, from VELK_LOG_LEVEL instead of: debug\n"),
              std::string::npos)
        << atInfo.err;
    EXPECT_EQ(atInfo.err.find("start: wait pid: "), std::string::npos) << atInfo.err;

    // "none" still lets errors, warnings and notices through.
    const auto atNone =
        runProcess({kiosk, "/bin/true"}, {{"DISPLAY", server.displayName()}, {"VELK_LOG_LEVEL", "none"}});
    EXPECT_EQ(atNone.exitCode(), 0);
    EXPECT_NE(atNone.err.find("]\tWmKiosk: X11 connector success\n"), std::string::npos) << atNone.err;
    EXPECT_EQ(atNone.err.find("setDebugLevel"), std::string::npos) << atNone.err;
}

}  // namespace
