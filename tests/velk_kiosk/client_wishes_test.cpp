// What a window asks for and gets: locked full screen, a rule without title
// bar, the EWMH full-screen state at its map and by message, its frame
// extents, Motif's no decorations, its X border, dialogs centred over their
// parent, later windows moved on and kept on the screen, the first sight of
// a window at its final place, the return from full screen onto a screen
// that shrank, and the root's pointer.
#include "client_wishes.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"
#include "screen_mode.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

using Words = std::vector<uint32_t>;
const Words bordered{3, 3, 18, 3};
const Words none{0, 0, 0, 0};

WindowSpec windowOf(const std::string& instance) {
    WindowSpec params;
    params.instance = instance;
    return params;
}

TEST_F(KioskTest, FullScreenWindowStaysWhereItIsWhenItsTitleBarIsDragged) {
    startKiosk(R"([{"wm:class": "velk-test"}])");
    const xcb_window_t win = mapWindow(WindowSpec{});
    expectFullscreen(client, win);
    xdotool(server.displayName(),
            {"mousemove", "500", "8", "mousedown", "1", "mousemove", "900", "400", "mouseup", "1"});
    syncWithKiosk();
    expectFullscreen(client, win);
}

TEST_F(KioskTest, RuleWithoutTitleBarGivesTheClientAloneEdgeToEdge) {
    startKiosk(R"([{"wm:class": "full", "titlebar": false},
                   {"wm:class": "small", "titlebar": false, "fullscreen": false}])");
    const xcb_window_t full = mapWindow(windowOf("full"));
    EXPECT_TRUE(settlesAt(client, client.frameOf(full), {0, 0, 1920, 1080}));
    EXPECT_TRUE(settlesAt(client, full, {0, 0, 1920, 1080}));
    EXPECT_EQ(propertyWords(client, full, "_NET_FRAME_EXTENTS"), none);

    const xcb_window_t small = mapWindow(windowOf("small"));
    EXPECT_TRUE(settlesAt(client, client.frameOf(small), {100, 100, 640, 480}));
    EXPECT_TRUE(settlesAt(client, small, {0, 0, 640, 480}));
}

TEST_F(KioskTest, FullScreenStateAskedBeforeTheMapCoversTheScreenWithoutDecorations) {
    startKiosk(std::nullopt);
    const xcb_window_t win = client.createWindow(WindowSpec{});
    askFullscreenState(client, win);
    client.map(win);
    ASSERT_NE(waitForFrame(client, win), 0U);
    EXPECT_TRUE(settlesAt(client, client.frameOf(win), {0, 0, 1920, 1080}));
    EXPECT_TRUE(settlesAt(client, win, {0, 0, 1920, 1080}));
    EXPECT_EQ(propertyWords(client, win, "_NET_FRAME_EXTENTS"), none);
    EXPECT_EQ(propertyWords(client, win, "_NET_WM_STATE"), Words{client.atom("_NET_WM_STATE_FULLSCREEN")});
}

// The message reaches the kiosk through its EWMH dispatch.
TEST_F(KioskTest, FullScreenStateByMessageIsAddedRemovedAndToggledAndTheWindowReturnsToItsPlace) {
    startKiosk(std::nullopt);
    if (!kioskSpeaksEwmh(client)) {
        GTEST_SKIP() << "this kiosk has no EWMH message dispatch";
    }
    const xcb_window_t win = mapWindow(WindowSpec{});
    expectWindowed(client, win);
    const xcb_window_t frame = client.frameOf(win);
    const Words fullscreen{client.atom("_NET_WM_STATE_FULLSCREEN")};
    const auto expectFull = [&] {
        EXPECT_TRUE(settlesAt(client, frame, {0, 0, 1920, 1080}));
        EXPECT_TRUE(settlesAt(client, win, {0, 0, 1920, 1080}));
        EXPECT_EQ(propertyWords(client, win, "_NET_WM_STATE"), fullscreen);
        EXPECT_EQ(propertyWords(client, win, "_NET_FRAME_EXTENTS"), none);
    };
    const auto expectBack = [&] {
        expectWindowed(client, win);
        EXPECT_EQ(propertyWords(client, win, "_NET_WM_STATE"), Words{});
        EXPECT_EQ(propertyWords(client, win, "_NET_FRAME_EXTENTS"), bordered);
    };
    sendFullscreenMessage(client, win, 1);
    expectFull();
    sendFullscreenMessage(client, win, 0);
    expectBack();
    sendFullscreenMessage(client, win, 2);
    expectFull();
    sendFullscreenMessage(client, win, 2);
    expectBack();
}

// The place a window had is kept on a screen that shrank while the window
// covered it.
TEST_F(KioskTest, AWindowLeavingFullScreenAfterTheScreenShrankReturnsOntoIt) {
    startKiosk(std::nullopt);
    WindowSpec corner;
    corner.x = 1200;
    corner.y = 560;
    const xcb_window_t win = mapWindow(corner);
    const xcb_window_t frame = client.frameOf(win);
    ASSERT_TRUE(settlesAt(client, frame, {1200, 560, 646, 501}));
    sendFullscreenMessage(client, win, 1);
    ASSERT_TRUE(settlesAt(client, frame, {0, 0, 1920, 1080}));
    switchMode(server.displayName(), 1280, 720);
    EXPECT_TRUE(settlesAt(client, frame, {0, 0, 1280, 720}));
    sendFullscreenMessage(client, win, 0);
    EXPECT_TRUE(settlesAt(client, frame, {634, 219, 646, 501}));
    EXPECT_TRUE(settlesAt(client, win, {3, 18, 640, 480}));
}

TEST_F(KioskTest, FrameExtentsMotifDecorationsAndTheClientsBorderWidth) {
    startKiosk(std::nullopt);
    const xcb_window_t plain = mapWindow(WindowSpec{});
    EXPECT_EQ(propertyWords(client, plain, "_NET_FRAME_EXTENTS"), bordered);

    // A client that draws its own title bar: no decoration, and not cut.
    WindowSpec own;
    own.x = 700;
    own.y = 200;
    own.width = 400;
    own.height = 300;
    const xcb_window_t decorated = client.createWindow(own);
    askNoDecorations(client, decorated);
    client.map(decorated);
    ASSERT_NE(waitForFrame(client, decorated), 0U);
    EXPECT_TRUE(settlesAt(client, client.frameOf(decorated), {700, 200, 400, 300}));
    EXPECT_TRUE(settlesAt(client, decorated, {0, 0, 400, 300}));
    EXPECT_EQ(propertyWords(client, decorated, "_NET_FRAME_EXTENTS"), none);

    // Its own X border is 0 while managed, asked for or not, and comes back on release.
    WindowSpec withBorder;
    withBorder.x = 300;
    withBorder.y = 600;
    const xcb_window_t edged = client.createWindow(withBorder);
    client.configure(edged, XCB_CONFIG_WINDOW_BORDER_WIDTH, {5});
    client.map(edged);
    ASSERT_NE(waitForFrame(client, edged), 0U);
    EXPECT_EQ(borderWidthOf(client, edged), 0);
    client.configure(edged, XCB_CONFIG_WINDOW_BORDER_WIDTH, {7});
    syncWithKiosk();
    EXPECT_EQ(borderWidthOf(client, edged), 0);
    client.unmap(edged);
    EXPECT_TRUE(waitUntil([&] { return client.parentOf(edged) == client.root(); }, 10s));
    EXPECT_EQ(borderWidthOf(client, edged), 5);

    // A client still managed when the kiosk ends gets its border back too.
    const xcb_window_t kept = client.createWindow(withBorder);
    client.configure(kept, XCB_CONFIG_WINDOW_BORDER_WIDTH, {4});
    client.map(kept);
    ASSERT_NE(waitForFrame(client, kept), 0U);
    EXPECT_EQ(borderWidthOf(client, kept), 0);
    kiosk->child().signal(SIGTERM);
    const auto stopped = kiosk->child().wait(20s);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->status, 0) << stopped->err;
    kiosk.reset();
    EXPECT_TRUE(waitUntil([&] { return client.parentOf(kept) == client.root(); }, 10s));
    EXPECT_EQ(borderWidthOf(client, kept), 4);
}

TEST_F(KioskTest, DialogWithoutAPlaceIsCentredOverItsParentOrTheScreenAndStackedAbove) {
    startKiosk(std::nullopt);
    const xcb_window_t parent = mapWindow(WindowSpec{});
    expectWindowed(client, parent);

    WindowSpec dialogSpec;
    dialogSpec.x = 0;
    dialogSpec.y = 0;
    dialogSpec.width = 300;
    dialogSpec.height = 200;
    const xcb_window_t dialog = client.createWindow(dialogSpec);
    setTransientFor(client, dialog, parent);
    client.map(dialog);
    ASSERT_NE(waitForFrame(client, dialog), 0U);
    // A 306x221 frame in the middle of the parent's 646x501 one at 100,100.
    EXPECT_TRUE(settlesAt(client, client.frameOf(dialog), {270, 240, 306, 221}));
    const auto stack = framedClients(client);
    ASSERT_EQ(stack.size(), 2U);
    EXPECT_EQ(stack.back().client, dialog) << "the dialog is not above its parent";

    dialogSpec.types = {"_NET_WM_WINDOW_TYPE_DIALOG"};
    const xcb_window_t orphan = mapWindow(dialogSpec);
    EXPECT_TRUE(settlesAt(client, client.frameOf(orphan), {807, 429, 306, 221}));

    // A place of its own is kept.
    dialogSpec.x = 50;
    dialogSpec.y = 60;
    const xcb_window_t placed = client.createWindow(dialogSpec);
    setTransientFor(client, placed, parent);
    setPositionHints(client, placed, 1);
    client.map(placed);
    ASSERT_NE(waitForFrame(client, placed), 0U);
    EXPECT_TRUE(settlesAt(client, client.frameOf(placed), {50, 60, 306, 221}));

    // With StaticGravity (a Qt window) the client itself stands where it asked.
    dialogSpec.x = 400;
    dialogSpec.y = 300;
    const xcb_window_t stationary = client.createWindow(dialogSpec);
    setPositionHints(client, stationary, 1 | (1U << 9), XCB_GRAVITY_STATIC);
    client.map(stationary);
    ASSERT_NE(waitForFrame(client, stationary), 0U);
    EXPECT_TRUE(settlesAt(client, client.frameOf(stationary), {397, 282, 306, 221}));
}

TEST_F(KioskTest, SecondWindowIsMovedOnAndAFrameThatFitsIsKeptOnTheScreen) {
    startKiosk(std::nullopt);
    expectWindowed(client, mapWindow(WindowSpec{}));
    const xcb_window_t second = mapWindow(WindowSpec{});
    EXPECT_TRUE(settlesAt(client, client.frameOf(second), {118, 118, 646, 501}));

    WindowSpec corner;
    corner.x = 1700;
    corner.y = 900;
    const xcb_window_t offScreen = mapWindow(corner);
    EXPECT_TRUE(settlesAt(client, client.frameOf(offScreen), {1274, 579, 646, 501}));
}

// Seen from the client: its first MapNotify and Expose come after it was
// configured to its final size, and nothing changes its size afterwards.
TEST_F(KioskTest, NewWindowIsFirstSeenAtItsFinalPlaceAndSize) {
    startKiosk(R"([{"wm:class": "velk-test"}])");
    EventHistory history(server.display());
    const xcb_window_t win = client.createWindow(WindowSpec{});
    history.watch(win);
    client.map(win);
    const auto events = history.until(win, XCB_EXPOSE);
    bool configured = false;
    bool mapped = false;
    for (const auto& event : events) {
        if (event.type == XCB_CONFIGURE_NOTIFY) {
            EXPECT_FALSE(mapped && !(event.geometry == Geometry{0, 18, 1920, 1062}))
                << "resized after it was mapped: " << toString(event.geometry);
            configured = configured || event.geometry == Geometry{0, 18, 1920, 1062};
        } else if (event.type == XCB_MAP_NOTIFY) {
            EXPECT_TRUE(configured) << "mapped before it had its final size";
            mapped = true;
        }
    }
    EXPECT_TRUE(mapped);
    expectFullscreen(client, win);
}

TEST_F(KioskTest, RootShowsTheArrow) {
    startKiosk(std::nullopt);
    const auto arrow = themeCursorImage(client, server.displayName(), "left_ptr");
    ASSERT_GT(arrow.size(), 4U);
    xdotool(server.displayName(), {"mousemove", "200", "900"});
    EXPECT_TRUE(waitUntil([&] { return cursorImage(client) == arrow; }, 5s)) << "the root shows X's cross";
}

TEST_F(KioskTest, HidePointerVariableShowsNoPointerOverRootAndFrames) {
    kioskPrefix = {"/usr/bin/env", "VELK_KIOSK_HIDE_POINTER=1"};
    startKiosk(std::nullopt);
    const xcb_window_t win = mapWindow(WindowSpec{});
    expectWindowed(client, win);
    const auto invisible = [&] {
        const auto image = cursorImage(client);
        return image.size() > 4 &&
               std::all_of(image.begin() + 4, image.end(), [](uint32_t argb) { return (argb >> 24) == 0; });
    };
    for (const char* spot : {"900", "108"}) {
        xdotool(server.displayName(), {"mousemove", "300", spot});
        EXPECT_TRUE(waitUntil(invisible, 5s)) << "a pointer shows at 300," << spot;
    }
}

}  // namespace
