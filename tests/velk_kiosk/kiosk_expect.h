// Expectations shared by the kiosk's system tests: where a window and its
// frame must end up on the 1920x1080 screen of the test's Xvfb.
#pragma once

#include <gtest/gtest.h>

#include "kiosk_harness.h"

namespace VelkTest {

inline ::testing::AssertionResult settlesAt(const XTestClient& client, xcb_window_t win,
                                            const Geometry& expected) {
    Geometry last;
    if (waitForGeometry(client, win, expected, &last)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "window " << win << " is at " << toString(last) << ", expected " << toString(expected);
}

// A full-screen window: the frame covers the root, the client fills it below
// the 18-pixel title bar.
inline void expectFullscreen(const XTestClient& client, xcb_window_t win) {
    const xcb_window_t frame = client.frameOf(win);
    ASSERT_NE(frame, 0U);
    EXPECT_TRUE(settlesAt(client, frame, {0, 0, 1920, 1080}));
    EXPECT_TRUE(settlesAt(client, win, {0, 18, 1920, 1062}));
}

// A 640x480 client at 100,100 with the default bordered frame.
inline void expectWindowed(const XTestClient& client, xcb_window_t win) {
    const xcb_window_t frame = client.frameOf(win);
    ASSERT_NE(frame, 0U);
    EXPECT_TRUE(settlesAt(client, frame, {100, 100, 646, 501}));
    EXPECT_TRUE(settlesAt(client, win, {3, 18, 640, 480}));
}

inline std::string hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof(text), "%08x", value);
    return text;
}

}  // namespace VelkTest
