// velk_kiosk run as a process: argument and DISPLAY checks with their exit
// statuses, the wait for the program and for one orphan, signals.  The cases
// that get as far as the window manager run on a private Xvfb.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>

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

TEST(KioskEntry, DisplayWithoutNumberEndsWithStoiException) {
    const auto result = runProcess({kiosk, "/bin/true"}, {{"DISPLAY", ":abc"}});
    EXPECT_EQ(result.exitCode(), 0);
    EXPECT_EQ(result.err, "exception: stoi\n");

    const auto hostPart = runProcess({kiosk, "/bin/true"}, {{"DISPLAY", "host:1"}});
    EXPECT_EQ(hostPart.err, "exception: stoi\n");
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
    const std::string script = "trap '' TERM; touch " + started.string() + "; while [ ! -e " + go.string() +
                               " ]; do sleep 0.02; done";
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

}  // namespace
