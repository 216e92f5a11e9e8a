// Admission of windows: the frame around a new window, nameless and
// frameless rules, windows larger than the screen, override-redirect
// windows, focus, withdrawal and a real xterm under a full-screen rule.
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

TEST_F(KioskTest, WindowIsFramedAroundItsPlaceWithBorderAndTitleBar) {
    startKiosk(std::nullopt);
    const xcb_window_t win = mapWindow(WindowSpec{});
    expectWindowed(client, win);
    EXPECT_EQ(client.netWmName(client.frameOf(win)), "KIOSK_FRAME");
    // The focus follows the map, which follows the framing.
    EXPECT_TRUE(waitUntil([&] { return client.focus() == win; }, 10s));
}

TEST_F(KioskTest, NamelessWindowGetsTheTitleBarButNoSideBorder) {
    startKiosk(std::nullopt);
    WindowSpec params;
    params.name = "";
    const xcb_window_t win = mapWindow(params);
    EXPECT_TRUE(settlesAt(client, client.frameOf(win), {100, 100, 640, 498}));
    EXPECT_TRUE(settlesAt(client, win, {0, 18, 640, 480}));
}

TEST_F(KioskTest, FramelessFullScreenRuleGivesATitleBarOnlyFrameOfRootSize) {
    startKiosk(R"([{"wm:class": "velk-test", "frame": false, "fullscreen": true}])");
    expectFullscreen(client, mapWindow(WindowSpec{}));
}

// Cut to the screen and kept on it: no part of the frame is off screen.
TEST_F(KioskTest, WindowWiderThanTheScreenIsCutWithItsFrame) {
    startKiosk(std::nullopt);
    WindowSpec params;
    params.width = 2000;
    params.height = 1000;
    const xcb_window_t win = mapWindow(params);
    EXPECT_TRUE(settlesAt(client, client.frameOf(win), {0, 59, 1920, 1021}));
    EXPECT_TRUE(settlesAt(client, win, {3, 18, 1914, 1000}));
}

TEST_F(KioskTest, OverrideRedirectWindowsAreLeftAlone) {
    startKiosk(std::nullopt);
    WindowSpec params;
    params.overrideRedirect = true;
    const xcb_window_t popup = mapWindow(params, false);

    // A window that turns override-redirect between its map request and the
    // kiosk's handling: the server grab makes the order certain.
    const xcb_window_t late = client.createWindow(WindowSpec{});
    xcb_grab_server(client.connection());
    xcb_map_window(client.connection(), late);
    const uint32_t on = 1;
    xcb_change_window_attributes(client.connection(), late, XCB_CW_OVERRIDE_REDIRECT, &on);
    xcb_ungrab_server(client.connection());
    xcb_flush(client.connection());

    syncWithKiosk();
    EXPECT_EQ(client.parentOf(popup), client.root());
    EXPECT_EQ(client.geometry(popup), (Geometry{100, 100, 640, 480}));
    EXPECT_EQ(client.parentOf(late), client.root());
    EXPECT_EQ(client.geometry(late), (Geometry{100, 100, 640, 480}));
    EXPECT_FALSE(kioskLog("createFrame: skipped, found attr: `XCB_CW_OVERRIDE_REDIRECT'").empty());
}

TEST_F(KioskTest, FocusGoesToTheNewestWindowAndBackWhenItIsWithdrawn) {
    startKiosk(std::nullopt);
    const xcb_window_t first = mapWindow(WindowSpec{});
    const xcb_window_t second = mapWindow(WindowSpec{});
    ASSERT_TRUE(waitUntil([&] { return client.focus() == second; }, 10s));

    const xcb_window_t frame = client.frameOf(second);
    client.unmap(second);
    EXPECT_TRUE(waitUntil([&] { return client.focus() == first; }, 10s));
    // The frame is gone and the client sits on the root where it showed: the
    // second window was moved on by the title height, not laid over the first.
    EXPECT_TRUE(waitUntil([&] { return client.parentOf(second) == client.root(); }, 10s));
    EXPECT_EQ(client.geometry(second), (Geometry{121, 136, 640, 480}));
    EXPECT_TRUE(waitUntil([&] { return client.parentOf(frame) == 0; }, 10s));

    // Mapped again, it is admitted anew with a new frame.
    client.map(second);
    const xcb_window_t again = waitForFrame(client, second);
    EXPECT_NE(again, 0U);
    EXPECT_NE(again, frame);
}

TEST_F(KioskTest, WindowDestroyedBeforeItsMapRequestIsHandledIsReportedAndSkipped) {
    startKiosk(std::nullopt);
    const xcb_window_t gone = client.createWindow(WindowSpec{});
    xcb_grab_server(client.connection());
    xcb_map_window(client.connection(), gone);
    xcb_destroy_window(client.connection(), gone);
    xcb_ungrab_server(client.connection());
    xcb_flush(client.connection());

    syncWithKiosk();
    const auto lines = kioskLog("onMapRequest: xcb_map_window failed");
    ASSERT_FALSE(lines.empty());
    // BadWindow (3) of MapWindow (8), in the kiosk's decimal wording.
    EXPECT_EQ(
        lines.front().rfind("onMapRequest: xcb_map_window failed, error code: 3, major: 0x08, minor: 0x0000, "
                            "sequence: ",
                            0),
        0U)
        << lines.front();
}

TEST_F(KioskTest, XtermUnderAFullScreenRuleFillsTheScreenBelowTheTitleBar) {
    startKiosk(R"([{"wm:class": "xterm"}])", {"/usr/bin/xterm", "-geometry", "80x24+50+50"});
    xcb_window_t xterm = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            auto* tree = xcb_query_tree_reply(client.connection(),
                                              xcb_query_tree(client.connection(), client.root()), nullptr);
            if (!tree) {
                return false;
            }
            const xcb_window_t* children = xcb_query_tree_children(tree);
            for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
                if (client.netWmName(children[i]) != "KIOSK_FRAME") {
                    continue;
                }
                auto* inner = xcb_query_tree_reply(client.connection(),
                                                   xcb_query_tree(client.connection(), children[i]), nullptr);
                if (inner && xcb_query_tree_children_length(inner) > 0) {
                    xterm = xcb_query_tree_children(inner)[0];
                }
                std::free(inner);
            }
            std::free(tree);
            return xterm != 0;
        },
        20s));
    expectFullscreen(client, xterm);
}

// A client destroyed inside its frame: the frame is taken down with requests
// sent unchecked, and the server's refusal of the client's re-parenting
// comes back as an event.  It only says that the window went first: a debug
// line, no error.
TEST_F(KioskTest, ErrorsOfUncheckedRequestsAboutAGoneWindowAreDebugLines) {
    startKiosk(std::nullopt);
    const xcb_window_t win = mapWindow(WindowSpec{});
    const xcb_window_t frame = client.frameOf(win);
    client.destroy(win);
    EXPECT_TRUE(waitUntil([&] { return client.geometry(frame).width == 0; }, 10s)) << "the frame stays";
    const auto records = journal.records(
        "onUncheckedError: unchecked request failed, error code: 3, major: 0x07", 1, 10s, kiosk->pid());
    ASSERT_FALSE(records.empty()) << "the refused re-parenting (BadWindow) was not reported";
    EXPECT_EQ(records.front()["PRIORITY"].asString(), "7");
}

}  // namespace
