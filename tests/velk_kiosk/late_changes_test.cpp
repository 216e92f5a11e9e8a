// What a client changes after its map and what cannot be changed: late
// Motif hints, type, transient parent and urgency applied when they come,
// windows that cannot be resized kept whole, and splash windows.
#include "client_wishes.h"
#include "ewmh_probe.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

using Words = std::vector<uint32_t>;

WindowSpec windowOf(const std::string& instance) {
    WindowSpec params;
    params.instance = instance;
    return params;
}

bool listsState(const XTestClient& client, xcb_window_t win, const char* state) {
    const Words states = propertyWords(client, win, "_NET_WM_STATE");
    return std::find(states.begin(), states.end(), client.atom(state)) != states.end();
}

TEST_F(KioskTest, ChangesAfterTheMapAreAppliedWhenTheyCome) {
    startKiosk(R"([{"wm:class": "full"}])");
    const xcb_window_t full = mapWindow(windowOf("full"));
    expectFullscreen(client, full);
    // Decorations turned off after the map, as xfreerdp does: no title bar left.
    askNoDecorations(client, full);
    EXPECT_TRUE(settlesAt(client, full, {0, 0, 1920, 1080}));
    EXPECT_TRUE(waitUntil(
        [&] {
            return propertyWords(client, full, "_NET_FRAME_EXTENTS") == Words{0, 0, 0, 0};
        },
        10s));

    const xcb_window_t late = mapWindow(WindowSpec{});
    expectWindowed(client, late);
    // It says it belongs to the full-screen window: activated, that window
    // keeps it above.
    setTransientFor(client, late, full);
    syncWithKioskAs(client);
    sendRootMessage(client, full, "_NET_ACTIVE_WINDOW", {2, 0, 0, 0, 0});
    EXPECT_TRUE(stackSettles(client, {full, late}));
    // Urgency is the attention a pager shows, and goes with it.
    setUrgency(client, late, true);
    EXPECT_TRUE(waitUntil([&] { return listsState(client, late, "_NET_WM_STATE_DEMANDS_ATTENTION"); }, 10s));
    setUrgency(client, late, false);
    EXPECT_TRUE(waitUntil([&] { return !listsState(client, late, "_NET_WM_STATE_DEMANDS_ATTENTION"); }, 10s));
    // A type that says splash takes its decorations away.
    client.setWords(late, client.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM,
                    {client.atom("_NET_WM_WINDOW_TYPE_SPLASH")});
    EXPECT_TRUE(waitUntil(
        [&] {
            return propertyWords(client, late, "_NET_FRAME_EXTENTS") == Words{0, 0, 0, 0};
        },
        10s));
    EXPECT_TRUE(settlesAt(client, late, {0, 0, 640, 480}));
}

// Held at full screen, a window that cannot be resized keeps its size in
// the middle of the screen, with its title bar where that fits; not held,
// it is never cut to the screen either.
TEST_F(KioskTest, AWindowThatCannotBeResizedIsNeverCut) {
    startKiosk(R"([{"wm:class": "full"}])");
    const xcb_window_t small = client.createWindow(windowOf("full"));
    setFixedSize(client, small, 800, 600);
    client.map(small);
    ASSERT_NE(waitForFrame(client, small), 0U);
    EXPECT_TRUE(settlesAt(client, client.frameOf(small), {560, 231, 800, 618}));
    EXPECT_TRUE(settlesAt(client, small, {0, 18, 800, 600}));
    const Words actions = propertyWords(client, small, "_NET_WM_ALLOWED_ACTIONS");
    EXPECT_EQ(std::count(actions.begin(), actions.end(), client.atom("_NET_WM_ACTION_MOVE")), 0);
    EXPECT_EQ(std::count(actions.begin(), actions.end(), client.atom("_NET_WM_ACTION_CLOSE")), 1);

    // Fixed at the screen's size after its map: the title bar goes, nothing is cut.
    const xcb_window_t whole = mapWindow(windowOf("full"));
    expectFullscreen(client, whole);
    setFixedSize(client, whole, 1920, 1080);
    EXPECT_TRUE(settlesAt(client, client.frameOf(whole), {0, 0, 1920, 1080}));
    EXPECT_TRUE(settlesAt(client, whole, {0, 0, 1920, 1080}));

    WindowSpec large;
    large.width = 2000;
    large.height = 1200;
    const xcb_window_t wide = client.createWindow(large);
    setFixedSize(client, wide, 2000, 1200);
    client.map(wide);
    ASSERT_NE(waitForFrame(client, wide), 0U);
    EXPECT_TRUE(settlesAt(client, client.frameOf(wide), {-40, -60, 2000, 1200}));
    EXPECT_TRUE(settlesAt(client, wide, {0, 0, 2000, 1200}));
}

TEST_F(KioskTest, ASplashWindowIsCentredUndecoratedAndNeverFocused) {
    startKiosk(std::nullopt);
    const xcb_window_t normal = mapWindow(WindowSpec{});
    ASSERT_TRUE(waitUntil([&] { return client.focus() == normal; }, 10s));
    WindowSpec splashSpec;
    splashSpec.x = 0;
    splashSpec.y = 0;
    splashSpec.width = 400;
    splashSpec.height = 300;
    splashSpec.types = {"_NET_WM_WINDOW_TYPE_SPLASH"};
    const xcb_window_t splash = mapWindow(splashSpec);
    EXPECT_TRUE(settlesAt(client, client.frameOf(splash), {760, 390, 400, 300}));
    EXPECT_TRUE(settlesAt(client, splash, {0, 0, 400, 300}));
    xdotool(server.displayName(), {"mousemove", "960", "540", "click", "1"});
    syncWithKioskAs(client);
    EXPECT_EQ(client.focus(), normal);
    EXPECT_EQ(propertyWords(client, client.root(), "_NET_ACTIVE_WINDOW"), Words{normal});
}

}  // namespace
