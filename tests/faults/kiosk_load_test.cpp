// velk_kiosk under load: two hundred framed windows, a RandR change of the
// screen under them, then all withdrawn.  Every frame follows the screen,
// the kiosk keeps serving new windows, and in the end no frame is left.
#include <xcb/xcb.h>

#include <algorithm>

#include <sstream>

#include "kiosk_expect.h"
#include "kiosk_harness.h"
#include "kiosk_settle.h"
#include "process_watch.h"
#include "screen_mode.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

constexpr size_t windowCount = 200;

class KioskUnderLoad : public QuietKioskTest {};

TEST_F(KioskUnderLoad, TwoHundredFramesFollowAScreenChangeAndAllGoWhenWithdrawn) {
    startKiosk(std::nullopt);
    const pid_t pid = kiosk->pid();
    const Holdings baseline = quietHoldings();

    std::vector<xcb_window_t> windows;
    for (size_t index = 0; index < windowCount; ++index) {
        WindowSpec params;
        params.x = static_cast<int16_t>(10 * (index % 100));
        params.y = static_cast<int16_t>(5 * (index % 100));
        params.width = 300;
        params.height = 200;
        params.name = "load " + std::to_string(index);
        windows.push_back(client.createWindow(params));
        client.map(windows.back());
    }
    for (const xcb_window_t win : windows) {
        ASSERT_NE(waitForFrame(client, win), 0U) << "window " << win << " got no frame";
    }

    switchMode(server.displayName(), 1280, 720);
    EXPECT_EQ(kioskLog("randrNotifyCrtcChanged: randr notify change: [1280, 720]").size(), 1U);
    // 306x221 frames fit the smaller screen: all are centred on it, and each
    // client fills its frame inside the title bar and the borders.
    for (const xcb_window_t win : windows) {
        EXPECT_TRUE(settlesAt(client, client.frameOf(win), {487, 249, 306, 221}));
        EXPECT_TRUE(settlesAt(client, win, {3, 18, 300, 200}));
    }
    const xcb_window_t fresh = mapWindow(WindowSpec{});
    EXPECT_TRUE(waitUntil([&] { return client.focus() == fresh; }, 10s))
        << "the kiosk no longer serves new windows";
    windows.push_back(fresh);

    for (const xcb_window_t win : windows) {
        xcb_unmap_window(client.connection(), win);
    }
    xcb_flush(client.connection());
    size_t framed = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            framed = static_cast<size_t>(std::count_if(
                windows.begin(), windows.end(), [&](xcb_window_t win) { return client.frameOf(win) != 0; }));
            return framed == 0;
        },
        30s))
        << framed << " withdrawn windows keep a frame";
    Holdings last;
    EXPECT_TRUE(waitUntil(
        [&] {
            last = holdingsOf(pid);
            return last == baseline;
        },
        10s))
        << "before " << baseline << ", after " << last;
}

}  // namespace
