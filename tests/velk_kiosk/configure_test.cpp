// The clients' own configure requests as the kiosk filters them: full-screen
// windows held, oversized windows clamped, moves of framed windows taken by
// the frame, which always holds the whole client, unmanaged windows passed
// through, and a flood survived.
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;

constexpr uint16_t moveMask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
constexpr uint16_t sizeMask = XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;

TEST_F(KioskTest, FullScreenWindowAskingForLessIsHeldAtTheRootSize) {
    startKiosk(R"([{"wm:class": "velk-test"}])");
    const xcb_window_t win = mapWindow(WindowSpec{});
    expectFullscreen(client, win);
    client.watchStructure(win);

    client.configure(win, moveMask | sizeMask, {10, 10, 800, 600});
    syncWithKiosk();
    expectFullscreen(client, win);
    // Nothing moved, yet the client hears where it is (ICCCM), in root coordinates.
    EXPECT_EQ(client.syntheticConfigure(win), (Geometry{0, 18, 1920, 1062}));
    EXPECT_FALSE(
        kioskLog("onConfigureRequest: set fullscreen, window: " + hex8(win) + ", size: 1920, 1080").empty());
}

TEST_F(KioskTest, OversizedRequestIsClampedToTheScreenAtTheOrigin) {
    startKiosk(std::nullopt);
    const xcb_window_t win = mapWindow(WindowSpec{});
    expectWindowed(client, win);

    // The client shrinks with its frame: it is never cut by it.
    client.configure(win, sizeMask, {4000, 3000});
    EXPECT_TRUE(settlesAt(client, client.frameOf(win), {0, 0, 1920, 1080}));
    EXPECT_TRUE(settlesAt(client, win, {3, 18, 1914, 1059}));
}

TEST_F(KioskTest, MoveOfAFramedWindowMovesTheFrameAndKeepsTheClientInside) {
    startKiosk(std::nullopt);
    const xcb_window_t win = mapWindow(WindowSpec{});
    expectWindowed(client, win);

    client.watchStructure(win);
    client.configure(win, moveMask, {300, 200});
    EXPECT_TRUE(settlesAt(client, client.frameOf(win), {300, 200, 646, 501}));
    EXPECT_EQ(client.geometry(win), (Geometry{3, 18, 640, 480}));
    EXPECT_TRUE(waitUntil(
        [&] {
            return client.syntheticConfigure(win) == Geometry{303, 218, 640, 480};
        },
        std::chrono::seconds(10)));
}

TEST_F(KioskTest, RequestOfAWindowNotYetMappedPassesUnchanged) {
    startKiosk(std::nullopt);
    const xcb_window_t win = client.createWindow(WindowSpec{});
    client.configure(win, moveMask, {static_cast<uint32_t>(-50), 2000});
    EXPECT_TRUE(settlesAt(client, win, {-50, 2000, 640, 480}));
    client.configure(win, sizeMask, {3000, 200});
    EXPECT_TRUE(settlesAt(client, win, {0, 2000, 1920, 200}));
}

TEST_F(KioskTest, FloodOfConfigureRequestsEndsWhereTheLastOnePutsTheWindow) {
    startKiosk(std::nullopt);
    const xcb_window_t win = mapWindow(WindowSpec{});
    for (uint32_t step = 0; step < 300; ++step) {
        xcb_configure_window(client.connection(), win, moveMask | sizeMask,
                             std::vector<uint32_t>{step, step, 100 + step * 20, 50 + step * 10}.data());
    }
    xcb_flush(client.connection());
    client.configure(win, moveMask | sizeMask, {40, 30, 500, 400});
    EXPECT_TRUE(settlesAt(client, client.frameOf(win), {40, 30, 506, 421}));
    EXPECT_TRUE(settlesAt(client, win, {3, 18, 500, 400}));
}

}  // namespace
