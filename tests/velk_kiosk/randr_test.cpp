// A RandR screen change seen by the kiosk: Xvfb is switched to a smaller mode
// with xrandr; full-screen windows follow the screen, others are centred or
// cut to it.
#include <sstream>

#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;

void xrandr(const std::string& display, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/xrandr", "-display", display};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = runProcess(argv);
    ASSERT_EQ(result.exitCode(), 0) << result.err;
}

// Adds the mode with the calculator's timings and drives the output with it.
void switchMode(const std::string& display, int width, int height) {
    const auto cvt = runProcess({"/usr/bin/cvt", std::to_string(width), std::to_string(height)});
    const size_t at = cvt.out.find("Modeline");
    ASSERT_NE(at, std::string::npos) << cvt.out << cvt.err;
    std::istringstream line(cvt.out.substr(at));
    std::string word;
    line >> word >> word;  // "Modeline" and the calculator's own mode name
    const std::string name = std::to_string(width) + "x" + std::to_string(height);
    std::vector<std::string> newMode = {"--newmode", name};
    while (line >> word) {
        newMode.push_back(word);
    }
    xrandr(display, newMode);
    xrandr(display, {"--addmode", "screen", name});
    xrandr(display, {"--output", "screen", "--mode", name});
}

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
    EXPECT_TRUE(settlesAt(client, wideWin, {3, 18, 1274, 603}));
    EXPECT_FALSE(kioskLog("randrNotifyCrtcChanged: randr notify change: [1280, 720]").empty());
}

}  // namespace
