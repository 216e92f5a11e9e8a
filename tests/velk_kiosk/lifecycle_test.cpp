// The kiosk's life on a display: another window manager already there, no X
// server at all (both failed starts), SIGTERM with the windows' _NET_WM_PID
// (honest and hostile values, another process's pid, none at all), the X
// server dying under the kiosk, what a stopped program leaves behind, and a
// kiosk that sleeps while nothing happens.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>

#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

TEST_F(KioskTest, ASecondKioskOnTheDisplaySaysAnotherWindowManagerIsRunningAndFails) {
    startKiosk(std::nullopt);
    KioskProcess second(server.displayName(), {"/bin/sleep", "600"});
    const auto result = second.child().wait(20s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 255);
    EXPECT_EQ(result->err, "velk_kiosk: another window manager is already running\n");
    const auto records = journal.records("another window manager", 1, 10s, second.pid());
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records.front()["MESSAGE"].asString(), "WmKiosk: another window manager is already running");
    EXPECT_EQ(records.front()["PRIORITY"].asString(), "3");
    EXPECT_TRUE(childrenOf(second.pid()).empty()) << "the second kiosk started its program";
}

TEST_F(KioskTest, WithoutAnXServerTheKioskGivesUpAfterTwentyAttempts) {
    // A display number that no server of this machine uses.
    int unused = 6000 + static_cast<int>(getpid() % 3000);
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(unused))) {
        ++unused;
    }
    const auto begin = std::chrono::steady_clock::now();
    KioskProcess process(":" + std::to_string(unused), {"/bin/sleep", "600"});
    const auto result = process.child().wait(30s);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 255);
    EXPECT_EQ(result->err,
              "velk_kiosk: cannot connect to the X server of display :" + std::to_string(unused) + "\n");
    EXPECT_GE(elapsed, 1900ms) << "20 attempts are 100 ms apart";
    const auto attempts = journal.messages("connectToDisplay: xcb_connect failed", 20, 10s, process.pid());
    EXPECT_EQ(attempts.size(), 20U);
    EXPECT_EQ(journal.messages("WmKiosk: X11 connector failed", 1, 10s, process.pid()).size(), 1U);
}

// Run as nobody: even a kiosk that signalled -1 or 0 could not reach the
// processes of this machine's other users.
TEST_F(KioskTest, SigtermSignalsEachRecordsPidOnceAndNeverAHostileOne) {
    rules.remove();
    kiosk = std::make_unique<KioskProcess>(
        server.displayName(), std::vector<std::string>{"/bin/sleep", "600"},
        std::vector<std::string>{"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    ASSERT_TRUE(
        waitUntil([&] { return (client.rootEventMasks() & XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT) != 0; }, 10s))
        << kiosk->child().errText();
    const pid_t program = kiosk->programPid();
    ASSERT_GT(program, 0);

    const uint32_t pids[] = {
        static_cast<uint32_t>(program),     static_cast<uint32_t>(program), 0xFFFFFFFF, 0, 1,
        static_cast<uint32_t>(kiosk->pid())};
    for (const uint32_t pid : pids) {
        WindowSpec params;
        params.pid = pid;
        mapWindow(params);
    }
    kiosk->child().signal(SIGTERM);
    // The program ends on the kiosk's SIGTERM, and with it the kiosk.
    const auto result = kiosk->child().wait(20s);
    ASSERT_TRUE(result) << "the program was not signalled";
    EXPECT_EQ(result->exitCode(), 0) << result->err;

    const auto kills = journal.messages("send kill to", 2, 10s, kiosk->pid());
    EXPECT_EQ(kills,
              std::vector<std::string>(2, "signalClientProcesses: send kill to: " + std::to_string(program)));
    const auto skipped = journal.messages("skipped pid", 3, 10s, kiosk->pid());
    EXPECT_EQ(countContaining(skipped, "skipped pid: 4294967295"), 1U);
    EXPECT_EQ(countContaining(skipped, "skipped pid: 1,"), 1U);
    EXPECT_EQ(countContaining(skipped, "skipped pid: " + std::to_string(kiosk->pid())), 1U);
    kiosk.reset();
}

TEST_F(KioskTest, SigtermSparesAProcessThatIsNotTheKiosksOwn) {
    ChildProcess unrelated({"/bin/sleep", "600"});
    startKiosk(std::nullopt);
    WindowSpec params;
    params.pid = static_cast<uint32_t>(unrelated.pid());
    mapWindow(params);
    kiosk->child().signal(SIGTERM);
    const auto result = kiosk->child().wait(20s);
    ASSERT_TRUE(result) << "the kiosk did not end on SIGTERM";
    EXPECT_EQ(result->exitCode(), 0) << result->err;
    EXPECT_EQ(kioskLog("skipped pid: " + std::to_string(unrelated.pid()) + ",").size(), 1U);
    kiosk.reset();
    // A SIGTERM from the kiosk would already have decided how it ends.
    unrelated.signal(SIGKILL);
    const auto ended = unrelated.wait(10s);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFSIGNALED(ended->status) && WTERMSIG(ended->status) == SIGKILL)
        << "the kiosk signalled it; wait status: " << ended->status;
}

// xmessage sets no _NET_WM_PID: the kiosk has to stop its program itself.
TEST_F(KioskTest, SigtermEndsAProgramWhoseWindowNamesNoPid) {
    startKiosk(std::nullopt, {"/usr/bin/xmessage", "kiosk"});
    const pid_t program = kiosk->programPid();
    xcb_window_t shown = 0;
    ASSERT_TRUE(waitUntil([&] { return client.frameOf(shown = client.focus()) != 0; }, 10s));
    xcb_connection_t* conn = client.connection();
    const auto named = xcb_get_property_reply(
        conn, xcb_get_property(conn, 0, shown, client.atom("_NET_WM_PID"), XCB_ATOM_ANY, 0, 1), nullptr);
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->type, static_cast<xcb_atom_t>(XCB_NONE)) << "xmessage names its pid now";
    std::free(named);

    kiosk->child().signal(SIGTERM);
    const auto result = kiosk->child().wait(20s);
    ASSERT_TRUE(result) << "the kiosk waits for a program that it never asked to end";
    EXPECT_EQ(result->exitCode(), 0) << result->err;
    EXPECT_FALSE(kioskLog("pid: " + std::to_string(program) + ", killed by signal: 15").empty());
    kiosk.reset();
}

// The display goes under a kiosk whose program left a background child:
// both are asked to end, and the kiosk ends with them, with the status that
// says the display was lost.
TEST_F(KioskTest, XServerDyingEndsTheProgramAndWhatItLeftBehindAndTheKiosk) {
    startKiosk(std::nullopt, {"/bin/sh", "-c", "/bin/sleep 600 & exec /bin/sleep 600"});
    const pid_t program = kiosk->programPid();
    std::vector<pid_t> background;
    ASSERT_TRUE(waitUntil([&] { return !(background = childrenOf(program)).empty(); }, 10s));

    server.kill();
    const auto result = kiosk->child().wait(10s);
    ASSERT_TRUE(result) << "the kiosk runs on without its display";
    EXPECT_EQ(result->exitCode(), 69) << result->err;
    EXPECT_FALSE(kioskLog("onDisplayLost: X connection lost").empty());
    EXPECT_FALSE(kioskLog("pid: " + std::to_string(program) + ", killed by signal: 15").empty());
    EXPECT_FALSE(kioskLog("pid: " + std::to_string(background.front()) + ", killed by signal: 15").empty());
    kiosk.reset();
}

// A program that does not end on SIGTERM holds the kiosk, display or not;
// the kiosk's own SIGTERM then changes nothing, and the program's end ends
// the kiosk at once.
TEST_F(KioskTest, SigtermWithTheXServerGoneEndsTheKioskWhenItsProgramEnds) {
    startKiosk(std::nullopt, {"/bin/sh", "-c", "trap '' TERM; exec /bin/sleep 600"});
    const pid_t program = kiosk->programPid();
    // Once it runs sleep, the shell has made SIGTERM harmless.
    ASSERT_TRUE(
        waitUntil([&] { return readFile("/proc/" + std::to_string(program) + "/comm") == "sleep\n"; }, 10s));
    server.kill();
    EXPECT_FALSE(kioskLog("signalProgram: sent SIGTERM to program: " + std::to_string(program)).empty());
    kiosk->child().signal(SIGTERM);
    EXPECT_FALSE(kioskLog("onStop: stop").empty());
    EXPECT_TRUE(kiosk->child().running()) << "the kiosk left its program behind";

    kill(program, SIGKILL);
    const auto result = kiosk->child().wait(10s);
    ASSERT_TRUE(result) << "the kiosk did not end with its program";
    EXPECT_EQ(result->exitCode(), 69) << result->err;
    kiosk.reset();
}

// A stop ends the program, which leaves a child behind that does not end on
// SIGTERM: while the kiosk gives it a moment, windows are still managed; then
// the kiosk ends without it.
TEST_F(KioskTest, WhileTheKioskWaitsForWhatItsStoppedProgramLeftBehindWindowsAreManaged) {
    // The child ignores SIGTERM from its start on.
    startKiosk(std::nullopt,
               {"/bin/sh", "-c",
                "trap \"trap '' TERM; /bin/sleep 600 & exit 0\" TERM; while :; do /bin/sleep 1; done"});
    const pid_t program = kiosk->programPid();
    const xcb_window_t win = client.createWindow(WindowSpec{});
    // Its first sleep means the shell has set its trap: a SIGTERM before
    // would end it without leaving the child.
    ASSERT_TRUE(waitUntil([&] { return !childrenOf(program).empty(); }, 10s));
    kiosk->child().signal(SIGTERM);
    pid_t orphan = -1;
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto children = childrenOf(kiosk->pid());
            orphan = children.size() == 1 && children.front() != program ? children.front() : -1;
            return orphan > 0;
        },
        10s));
    client.map(win);
    EXPECT_NE(waitForFrame(client, win), 0U) << "the display stopped managing windows";

    const auto result = kiosk->child().wait(10s);
    ASSERT_TRUE(result) << "the kiosk waits for a child that ignores SIGTERM";
    EXPECT_EQ(result->exitCode(), 0) << result->err;
    EXPECT_EQ(kill(orphan, 0), 0) << "the child left behind should still run";
    kill(orphan, SIGKILL);
    kiosk.reset();
}

// Nothing happens on the display: the kiosk sleeps until something does.
TEST_F(KioskTest, AnIdleKioskIsNeverWoken) {
    startKiosk(std::nullopt);
    mapWindow(WindowSpec{});
    // Settled once a while passes without a wake-up.
    long before = contextSwitches(kiosk->pid());
    ASSERT_TRUE(waitUntil(
        [&] {
            std::this_thread::sleep_for(200ms);
            const long now = contextSwitches(kiosk->pid());
            return std::exchange(before, now) == now;
        },
        10s));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(contextSwitches(kiosk->pid()) - before, 0) << "wake-ups in 2 s of an idle display";
}

}  // namespace
