// A kiosk test that knows what the kiosk holds when it is quiet: its event
// thread and its program running, and no frame being taken down by one of
// its short-lived threads.
#pragma once

#include <gtest/gtest.h>

#include "kiosk_harness.h"
#include "process_watch.h"

namespace VelkTest {

class QuietKioskTest : public KioskTest {
protected:
    // Frames and withdraws one window first, so that what the kiosk makes
    // for its first window exists, and waits until that frame is destroyed.
    Holdings quietHoldings() {
        WindowSpec params;
        params.name = "warm-up";
        const xcb_window_t warmUp = mapWindow(params);
        const xcb_window_t frame = client.frameOf(warmUp);
        EXPECT_NE(frame, 0U);
        client.unmap(warmUp);
        EXPECT_TRUE(waitUntil([&] { return client.geometry(frame).width == 0; }, std::chrono::seconds(10)));
        client.destroy(warmUp);
        EXPECT_GT(kiosk->programPid(), 0);
        return holdingsOf(kiosk->pid());
    }
};

}  // namespace VelkTest
