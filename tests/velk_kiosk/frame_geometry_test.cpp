// Frame arithmetic alone: the frame around a new client, the client's place
// in a full-screen frame, and resize steps inside and past their limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "velk_kiosk/frame_geometry.h"

namespace {

using Velk::FrameMetrics;
using Velk::Xcb::Rect;
using Velk::Xcb::Size;

const FrameMetrics bordered{0, 3, 18};
const Size fullHd{1920, 1080};

// The places of earlier windows' corners.
Velk::PlaceTaken takenAt(const std::vector<Rect>& earlier) {
    return [earlier](int16_t x, int16_t y) {
        return std::any_of(earlier.begin(), earlier.end(),
                           [&](const Rect& other) { return other.x == x && other.y == y; });
    };
}

void expectRect(const Rect& rect, int x, int y, int width, int height) {
    EXPECT_EQ(rect.x, x);
    EXPECT_EQ(rect.y, y);
    EXPECT_EQ(rect.width, width);
    EXPECT_EQ(rect.height, height);
}

TEST(FramePlacement, ClientThatFitsGetsBorderAndTitleBarAroundIt) {
    const auto placement = Velk::placeFrame({100, 100, 640, 480}, bordered, fullHd);
    expectRect(placement.frame, 100, 100, 646, 501);
    EXPECT_EQ(placement.client.width, 640);
    EXPECT_EQ(placement.client.height, 480);
}

TEST(FramePlacement, ClientLargerThanTheRootIsCutWithItsFrame) {
    const auto wide = Velk::placeFrame({100, 100, 2000, 1000}, bordered, fullHd);
    expectRect(wide.frame, 100, 100, 1920, 1021);
    EXPECT_EQ(wide.client.width, 1914);
    EXPECT_EQ(wide.client.height, 1000);

    const auto tall = Velk::placeFrame({0, 0, 800, 1070}, bordered, fullHd);
    expectRect(tall.frame, 0, 0, 806, 1080);
    EXPECT_EQ(tall.client.height, 1080 - 18 - 3);
}

TEST(FirstPlace, DialogIsCentredOverItsParentAndLaterWindowsAreMovedOn) {
    const Rect parent{100, 100, 646, 501};
    const auto dialog = Velk::firstPlace({0, 0, 300, 200}, bordered, fullHd, parent, takenAt({}));
    expectRect(dialog.frame, 100 + (646 - 306) / 2, 100 + (501 - 221) / 2, 306, 221);

    const auto second = Velk::firstPlace({100, 100, 640, 480}, bordered, fullHd, std::nullopt,
                                         takenAt({{100, 100, 646, 501}, {118, 118, 646, 501}}));
    expectRect(second.frame, 136, 136, 646, 501);
    const auto bare =
        Velk::firstPlace({100, 100, 640, 480}, {}, fullHd, std::nullopt, takenAt({{100, 100, 640, 480}}));
    expectRect(bare.frame, 118, 118, 640, 480);
}

TEST(FirstPlace, FrameThatFitsIsKeptOnTheScreenAndOneThatDoesNotStartsAtZero) {
    expectRect(Velk::firstPlace({10, 10, 800, 1060}, bordered, fullHd, std::nullopt, takenAt({})).frame, 10,
               0, 806, 1080);
    expectRect(Velk::firstPlace({1500, -40, 640, 480}, bordered, fullHd, std::nullopt, takenAt({})).frame,
               1274, 0, 646, 501);
    // Centred over a parent at the screen's edge, it still lands on the screen.
    expectRect(
        Velk::firstPlace({0, 0, 300, 200}, bordered, fullHd, Rect{1800, 900, 100, 100}, takenAt({})).frame,
        1614, 840, 306, 221);
    expectRect(Velk::firstPlace({100, 100, 2000, 1000}, bordered, fullHd, std::nullopt, takenAt({})).frame, 0,
               59, 1920, 1021);
    expectRect(Velk::fullscreenPlace({}, fullHd).frame, 0, 0, 1920, 1080);
    EXPECT_EQ(Velk::fullscreenPlace({}, fullHd).client.height, 1080);
}

// Where a window returns from full screen after the screen shrank.
TEST(KeptOnRoot, AFrameOnTheRootStaysOneOffItMovesOnAndOneTooLargeIsCut) {
    const Size small{1280, 720};
    expectRect(Velk::keptOnRoot({100, 100, 646, 501}, small), 100, 100, 646, 501);
    expectRect(Velk::keptOnRoot({1200, 600, 646, 501}, small), 634, 219, 646, 501);
    expectRect(Velk::keptOnRoot({-30, -5, 646, 501}, small), 0, 0, 646, 501);
    expectRect(Velk::keptOnRoot({300, 200, 1500, 1000}, small), 0, 0, 1280, 720);
}

TEST(FrameInside, FullScreenClientFillsTheFrameBelowTheTitleBar) {
    expectRect(Velk::clientInside(fullHd, {0, 0, 18}), 0, 18, 1920, 1062);
    expectRect(Velk::clientInside(fullHd, bordered), 3, 18, 1914, 1059);
    expectRect(Velk::clientInside({4, 10}, bordered), 3, 18, 1, 1);
}

TEST(ResizeStep, RightAndBottomEdgesFollowThePointer) {
    const auto step = Velk::resizeStep({100, 100, 646, 501}, {640, 480}, bordered, false, 30, -20);
    expectRect(step.frame, 100, 100, 676, 481);
    EXPECT_EQ(step.client.width, 670);
    EXPECT_EQ(step.client.height, 460);
}

TEST(WindowGravity, TheFrameKeepsTheReferencePointTheClientAskedFor) {
    const Velk::Xcb::Rect asked{100, 200, 640, 480};
    // Border 3, title 18: 6 wide and 21 high in all.
    expectRect(Velk::withGravity(asked, XCB_GRAVITY_NORTH_WEST, bordered), 100, 200, 640, 480);
    expectRect(Velk::withGravity(asked, XCB_GRAVITY_STATIC, bordered), 97, 182, 640, 480);
    expectRect(Velk::withGravity(asked, XCB_GRAVITY_CENTER, bordered), 97, 190, 640, 480);
    expectRect(Velk::withGravity(asked, XCB_GRAVITY_SOUTH_EAST, bordered), 94, 179, 640, 480);
    expectRect(Velk::withGravity(asked, XCB_GRAVITY_NORTH, bordered), 97, 200, 640, 480);
    expectRect(Velk::withGravity(asked, 42, bordered), 100, 200, 640, 480);  // unknown gravity
}

TEST(ResizeStep, LeftBorderMovesTheLeftEdgeAndKeepsTheRightOne) {
    const auto step = Velk::resizeStep({100, 100, 646, 501}, {640, 480}, bordered, true, -40, 10);
    expectRect(step.frame, 60, 100, 686, 511);
    EXPECT_EQ(step.client.width, 680);
    EXPECT_EQ(step.client.height, 490);
}

TEST(ResizeStep, DraggingPastTheOppositeEdgeStopsAtTheSmallestFrame) {
    const auto right = Velk::resizeStep({100, 100, 646, 501}, {640, 480}, bordered, false, -5000, -5000);
    expectRect(right.frame, 100, 100, 7, 22);
    EXPECT_EQ(right.client.width, 1);
    EXPECT_EQ(right.client.height, 1);

    const auto left = Velk::resizeStep({100, 100, 646, 501}, {640, 480}, bordered, true, 5000, 0);
    expectRect(left.frame, 100 + 646 - 7, 100, 7, 501);
    EXPECT_EQ(left.client.width, 1);
}

TEST(ResizeStep, FrameWithoutDecorationKeepsOnePixel) {
    const auto step = Velk::resizeStep({0, 0, 50, 50}, {50, 50}, {0, 0, 0}, false, -80, -80);
    expectRect(step.frame, 0, 0, 1, 1);
    EXPECT_EQ(step.client.width, 1);
    EXPECT_EQ(step.client.height, 1);
}

}  // namespace
