// A RandR screen change seen by the kiosk: Xvfb is switched to a smaller mode
// with xrandr; full-screen windows follow the screen, others are centred or
// cut to it, and their frames are painted whole again.
#include <sstream>

#include "ewmh_probe.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"
#include "screen_mode.h"

namespace {

using namespace VelkTest;

constexpr uint32_t frameColour = 0x021D47;

TEST_F(KioskTest, SmallerModeResizesFullScreenWindowsAndCentresOrCutsOthers) {
    startKiosk(R"([{"wm:class": "full"}])");
    WindowSpec full;
    full.instance = "full";
    const xcb_window_t fullWin = mapWindow(full);
    expectFullscreen(client, fullWin);
    const xcb_window_t small = mapWindow(WindowSpec{});
    WindowSpec wide;
    wide.width = 1500;
    wide.height = 600;
    const xcb_window_t wideWin = mapWindow(wide);

    switchMode(server.displayName(), 1280, 720);
    EXPECT_TRUE(settlesAt(client, client.frameOf(fullWin), {0, 0, 1280, 720}));
    EXPECT_TRUE(settlesAt(client, fullWin, {0, 18, 1280, 702}));
    // 646x501 fits: centred.  1506x621 is too wide: at 0 with the screen's width.
    EXPECT_TRUE(settlesAt(client, client.frameOf(small), {317, 109, 646, 501}));
    EXPECT_TRUE(settlesAt(client, client.frameOf(wideWin), {0, 49, 1280, 621}));
    EXPECT_TRUE(settlesAt(client, wideWin, {3, 18, 1274, 600}));
    EXPECT_FALSE(kioskLog("randrNotifyCrtcChanged: randr notify change: [1280, 720]").empty());
    // The one desktop is the whole screen still.
    EXPECT_TRUE(waitUntil(
        [&] {
            return readWords(client, client.root(), "_NET_WORKAREA").words ==
                       std::vector<uint32_t>{0, 0, 1280, 720} &&
                   readWords(client, client.root(), "_NET_DESKTOP_GEOMETRY").words ==
                       std::vector<uint32_t>{1280, 720};
        },
        std::chrono::seconds(10)));
    // Every border of a frame that moved and was cut is painted again (the
    // wide frame, on top).
    Screenshot shot;
    const bool painted = waitUntil(
        [&] {
            shot = screenshot(server.displayName(), {0, 49, 1280, 621});
            return shot.pixel(1, 300) == frameColour && shot.pixel(1278, 300) == frameColour &&
                   shot.pixel(640, 619) == frameColour && shot.pixel(640, 9) == frameColour;
        },
        std::chrono::seconds(10));
    EXPECT_TRUE(painted) << "left " << hex8(shot.pixel(1, 300)) << ", right " << hex8(shot.pixel(1278, 300))
                         << ", bottom " << hex8(shot.pixel(640, 619)) << ", title "
                         << hex8(shot.pixel(640, 9));
    // A window mapped afterwards is placed on the new screen, not the old.
    const xcb_window_t later = mapWindow(full);
    EXPECT_TRUE(settlesAt(client, client.frameOf(later), {0, 0, 1280, 720}));
}

}  // namespace
