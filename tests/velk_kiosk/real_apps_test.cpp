// Real programs under the kiosk as users see them: a GTK dialog (zenity) and
// a Qt main window with its dialog (PyQt5) are wholly inside their frames,
// a dialog is centred over its parent, or the screen when it has none,
// typing goes to the GTK window the user clicked last, a GTK modal file
// chooser and a dunst notification stay above a full-screen window that is
// clicked, and windows that come and go leave no error line.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "client_wishes.h"
#include "ewmh_probe.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;

bool activeBecomes(const XTestClient& client, xcb_window_t win) {
    return waitUntil(
        [&] {
            return readWords(client, client.root(), "_NET_ACTIVE_WINDOW").words == std::vector<uint32_t>{win};
        },
        std::chrono::seconds(10));
}

// The client lies wholly inside its frame.
::testing::AssertionResult notClipped(const XTestClient& client, const FramedClient& framed) {
    const Geometry frame = client.geometry(framed.frame);
    const Geometry inside = client.geometry(framed.client);
    if (inside.x >= 0 && inside.y >= 0 && inside.x + inside.width <= frame.width &&
        inside.y + inside.height <= frame.height) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "client " << toString(inside) << " in frame " << toString(frame);
}

// The centre of `inner` lies within `slack` pixels of the centre of `outer`.
::testing::AssertionResult centredOver(const Geometry& inner, const Geometry& outer, int slack) {
    const int dx = 2 * inner.x + inner.width - (2 * outer.x + outer.width);
    const int dy = 2 * inner.y + inner.height - (2 * outer.y + outer.height);
    if (std::abs(dx) <= 2 * slack && std::abs(dy) <= 2 * slack) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << toString(inner) << " is not centred over " << toString(outer);
}

TEST_F(KioskTest, GtkDialogWithoutParentIsWhollyInsideItsFrameInTheMiddleOfTheScreen) {
    // A file chooser asks for no place of its own.
    startKiosk(std::nullopt, {"/usr/bin/zenity", "--file-selection", "--title", "velk kiosk"});
    const auto framed = waitForFramedClients(client, 1);
    ASSERT_EQ(framed.size(), 1U);
    // GTK may still size its window after the map: the frame follows, keeping
    // its top left corner, so the centre moves by half the growth.
    EXPECT_TRUE(waitUntil([&] { return bool(notClipped(client, framed.front())); }, std::chrono::seconds(10)))
        << notClipped(client, framed.front());
    EXPECT_TRUE(centredOver(client.geometry(framed.front().frame), {0, 0, 1920, 1080}, 24));
}

TEST_F(KioskTest, QtDialogIsCentredOverItsMainWindowAndNeitherIsClipped) {
    startKiosk(std::nullopt, {"/usr/bin/python3", VELK_QT_DIALOG_APP});
    const auto framed = waitForFramedClients(client, 2);
    ASSERT_EQ(framed.size(), 2U);
    // Bottom to top: the main window, then its dialog above it.
    const FramedClient& main = framed.front();
    const FramedClient& dialog = framed.back();
    EXPECT_TRUE(waitUntil([&] { return notClipped(client, main) && notClipped(client, dialog); },
                          std::chrono::seconds(10)))
        << notClipped(client, main) << notClipped(client, dialog);
    // Qt places its dialogs itself (a position of its own, kept), centred by
    // its own idea of the frame: over the main window, near its middle.
    const Geometry over = client.geometry(main.frame);
    const Geometry dialogFrame = client.geometry(dialog.frame);
    EXPECT_TRUE(dialogFrame.x >= over.x && dialogFrame.y >= over.y &&
                dialogFrame.x + dialogFrame.width <= over.x + over.width &&
                dialogFrame.y + dialogFrame.height <= over.y + over.height)
        << toString(dialogFrame) << " is not over " << toString(over);
    EXPECT_TRUE(centredOver(dialogFrame, over, 64));
}

// A program that draws its own decorations gets a frame without any, which
// holds the whole window where it asked to be.
TEST_F(KioskTest, QtWindowWithoutDecorationsGetsNoTitleBarAndIsWhollyShown) {
    startKiosk(std::nullopt, {"/usr/bin/python3", VELK_QT_DIALOG_APP, "--frameless"});
    const auto framed = waitForFramedClients(client, 1);
    ASSERT_EQ(framed.size(), 1U);
    EXPECT_TRUE(settlesAt(client, framed.front().frame, {60, 60, 800, 600}));
    EXPECT_TRUE(settlesAt(client, framed.front().client, {0, 0, 800, 600}));
    EXPECT_EQ(propertyWords(client, framed.front().client, "_NET_FRAME_EXTENTS"),
              (std::vector<uint32_t>{0, 0, 0, 0}));
}

// Two GTK entry dialogs, cascaded: the user clicks the one below and types
// into it, not into the newer one; once it is answered the focus goes to the
// other, which takes the next typing.
TEST_F(KioskTest, TypingLandsInTheGtkWindowClickedLastNotInTheNewest) {
    TempDir answers;
    const auto entry = [&](const std::string& title) {
        return "/usr/bin/zenity --entry --title '" + title + "' > '" + (answers / title).string() + "'";
    };
    // The program waits for both answers, then stays for the kiosk's stop.
    startKiosk(std::nullopt,
               {"/bin/sh", "-c", entry("one") + " & " + entry("two") + " & wait; exec sleep 600"});
    const auto framed = waitForFramedClients(client, 2);
    ASSERT_EQ(framed.size(), 2U);
    const FramedClient lower = framed.front();
    const FramedClient upper = framed.back();
    const Geometry below = client.geometry(lower.frame);
    const Geometry above = client.geometry(upper.frame);
    // The lower frame's corner, which the cascade leaves uncovered.
    const int x = below.x + 6;
    const int y = below.y + 6;
    ASSERT_FALSE(x >= above.x && x < above.x + above.width && y >= above.y && y < above.y + above.height)
        << toString(below) << " lies under " << toString(above);
    const auto answerIn = [&](xcb_window_t win, const std::string& text) {
        const std::string title = client.netWmName(win);
        xdotool(server.displayName(), {"type", "--delay", "20", text});
        xdotool(server.displayName(), {"key", "Return"});
        EXPECT_TRUE(
            waitUntil([&] { return readFile(answers / title) == text + "\n"; }, std::chrono::seconds(10)))
            << "the window `" << title << "' got `" << readFile(answers / title) << "'";
    };
    ASSERT_TRUE(activeBecomes(client, upper.client));
    xdotool(server.displayName(), {"mousemove", std::to_string(x), std::to_string(y), "click", "1"});
    ASSERT_TRUE(activeBecomes(client, lower.client)) << "the click did not focus the window below";
    answerIn(lower.client, "clicked");
    ASSERT_TRUE(activeBecomes(client, upper.client)) << "the focus did not pass to the window left";
    answerIn(upper.client, "left");
}

// mousepad's Open: a GTK file chooser, modal and transient for the editor's
// full-screen window, which is blocked while it is open: a click on the
// editor must leave the chooser on top, with the focus.
TEST_F(KioskTest, AGtkModalFileChooserStaysAboveItsFullScreenParentWhenTheParentIsClicked) {
    TempDir config;
    startKiosk(R"([{"wm:window:type": "dialog", "fullscreen": false}, {"wm:class": "mousepad"}])",
               {"/usr/bin/env", "-u", "DBUS_SESSION_BUS_ADDRESS", "XDG_CONFIG_HOME=" + config.path().string(),
                "/usr/bin/mousepad"});
    const auto editor = waitForFramedClients(client, 1);
    ASSERT_EQ(editor.size(), 1U);
    const xcb_window_t parent = editor.front().client;
    ASSERT_TRUE(activeBecomes(client, parent));
    xdotool(server.displayName(), {"key", "ctrl+o"});
    const auto framed = waitForFramedClients(client, 2);
    ASSERT_EQ(framed.size(), 2U);
    const xcb_window_t chooser = framed.back().client;
    ASSERT_NE(chooser, parent);
    xdotool(server.displayName(), {"mousemove", "10", "1000", "click", "1"});
    syncWithKioskAs(client);
    EXPECT_EQ(stackedOrder(client, {parent, chooser}), (std::vector<xcb_window_t>{parent, chooser}));
    EXPECT_TRUE(activeBecomes(client, chooser));
}

// dunst shows its notification in a window of its own, override-redirect,
// on a session bus of the test's own.
TEST_F(KioskTest, ADunstNotificationStaysAboveAFullScreenWindowThatIsClicked) {
    startKiosk(R"([{"wm:class": "velk-test"}])");
    const xcb_window_t full = mapWindow(WindowSpec{});
    TempDir dir;
    // Notifications that stay: a slow run must not see it expire first.
    std::filesystem::create_directory(dir / "dunst");
    writeFile(dir / "dunst" / "dunstrc",
              "[global]\n    origin = top-right\n    offset = 10x10\n"
              "[urgency_normal]\n    timeout = 0\n");
    const std::string bus = "unix:path=" + (dir / "bus").string();
    ChildProcess daemon({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + bus});
    const std::map<std::string, std::string> session = {{"DBUS_SESSION_BUS_ADDRESS", bus},
                                                        {"DISPLAY", server.displayName()},
                                                        {"XDG_CONFIG_HOME", dir.path().string()}};
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(dir / "bus"); }, std::chrono::seconds(10)));
    ChildProcess dunst({"/usr/bin/dunst"}, session);
    ASSERT_TRUE(waitUntil(
        [&] {
            return runProcess({"/usr/bin/dbus-send", "--session", "--print-reply",
                               "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.Notifications"},
                              session)
                       .out.find("boolean true") != std::string::npos;
        },
        std::chrono::seconds(10)));
    ASSERT_EQ(runProcess({"/usr/bin/notify-send", "velk", "a notification"}, session).exitCode(), 0);
    xcb_window_t popup = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const xcb_window_t child : rootChildren(client)) {
                if (client.isMapped(child) && readBytes(client, child, "WM_CLASS").rfind("Dunst", 0) == 0) {
                    popup = child;
                }
            }
            return popup != 0;
        },
        std::chrono::seconds(10)));
    // Another window comes on top; the click raises the full-screen one again.
    WindowSpec otherSpec;
    otherSpec.instance = "other";
    const xcb_window_t other = mapWindow(otherSpec);
    ASSERT_EQ(stackedOrder(client, {full, other, popup}), (std::vector<xcb_window_t>{full, other, popup}));
    xdotool(server.displayName(), {"mousemove", "1000", "800", "click", "1"});
    syncWithKioskAs(client);
    EXPECT_EQ(stackedOrder(client, {other, full, popup}), (std::vector<xcb_window_t>{other, full, popup}));
}

// Windows that go as soon as they came race the kiosk's requests about
// them; those failures say nothing is wrong and never reach error level.
TEST_F(KioskTest, RealWindowsThatComeAndGoLeaveNoErrorLine) {
    TempDir dir;
    const auto done = dir / "done";
    startKiosk(std::nullopt, {"/bin/sh", "-c",
                              "for i in 1 2 3; do /usr/bin/xterm -e true; done; "
                              "touch " +
                                  done.string() + "; exec /bin/sleep 600"});
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(done); }, std::chrono::seconds(30)));
    // Everything the kiosk logged before this window's map is in the journal once that is.
    char last[16];
    std::snprintf(last, sizeof(last), "%08x", mapWindow(WindowSpec{}));
    ASSERT_FALSE(kioskLog("onMapRequest: window: " + std::string(last)).empty());
    for (const Json::Value& record : journal.records("failed", 0, std::chrono::seconds(0), kiosk->pid())) {
        EXPECT_NE(record["PRIORITY"].asString(), "3") << record["MESSAGE"].asString();
    }
}

}  // namespace
