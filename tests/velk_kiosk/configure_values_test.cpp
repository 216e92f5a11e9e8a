// What the kiosk makes of a client's configure request before it sends it on:
// the values kept, the screen clamp, the full-screen hold and the word list.
#include "velk_kiosk/configure_values.h"

#include <gtest/gtest.h>

namespace {

using Velk::ConfigureValues;
namespace Xcb = Velk::Xcb;

constexpr uint16_t position = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
constexpr uint16_t size = XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;
const Velk::Xcb::Size screen{1920, 1080};

xcb_configure_request_event_t request(uint16_t mask, int16_t x, int16_t y, uint16_t width, uint16_t height) {
    xcb_configure_request_event_t event{};
    event.value_mask = mask;
    event.x = x;
    event.y = y;
    event.width = width;
    event.height = height;
    event.border_width = 5;
    event.sibling = 0x123;
    event.stack_mode = XCB_STACK_MODE_ABOVE;
    return event;
}

TEST(ConfigureValues, PositionAndSizeAreKeptTheRestOnlyWhenAskedFor) {
    const ConfigureValues values = Velk::fromRequest(request(XCB_CONFIG_WINDOW_X, 10, 20, 30, 40));
    EXPECT_EQ(values.mask, XCB_CONFIG_WINDOW_X);
    EXPECT_EQ(values.place.y, 20);
    EXPECT_EQ(values.place.height, 40);
    EXPECT_EQ(values.borderWidth, 0U);
    EXPECT_EQ(values.sibling, 0U);
    const ConfigureValues all = Velk::fromRequest(
        request(XCB_CONFIG_WINDOW_BORDER_WIDTH | XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, 0,
                0, 1, 1));
    EXPECT_EQ(all.borderWidth, 5U);
    EXPECT_EQ(all.sibling, 0x123U);
    EXPECT_EQ(all.stackMode, XCB_STACK_MODE_ABOVE);
}

TEST(ConfigureValues, WordsFollowTheMaskInBitOrder) {
    ConfigureValues values = Velk::fromRequest(
        request(XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_HEIGHT | XCB_CONFIG_WINDOW_STACK_MODE, -3, -4, 7, 8));
    EXPECT_EQ(Velk::packValues(values),
              (std::vector<uint32_t>{static_cast<uint32_t>(-4), 8, XCB_STACK_MODE_ABOVE}));
    values.mask = 0;
    EXPECT_TRUE(Velk::packValues(values).empty());
}

TEST(ConfigureValues, OnlyWhatIsLargerThanTheScreenIsClamped) {
    ConfigureValues wide = Velk::fromRequest(request(size, 50, 60, 4000, 3000));
    Velk::clampToRoot(wide, screen);
    EXPECT_EQ(wide.mask, position | size);
    EXPECT_EQ(wide.place.x, 0);
    EXPECT_EQ(wide.place.y, 0);
    EXPECT_EQ(wide.place.width, 1920);
    EXPECT_EQ(wide.place.height, 1080);

    ConfigureValues offScreen = Velk::fromRequest(request(position | size, -500, 2000, 800, 600));
    Velk::clampToRoot(offScreen, screen);
    EXPECT_EQ(offScreen.place.x, -500) << "a smaller window keeps its place, off screen too";
    EXPECT_EQ(offScreen.place.width, 800);

    ConfigureValues moveOnly = Velk::fromRequest(request(position, 10, 10, 5000, 5000));
    Velk::clampToRoot(moveOnly, screen);
    EXPECT_EQ(moveOnly.mask, position) << "a size not asked for is not clamped";
}

TEST(ConfigureValues, FullScreenHoldsTheRootUnlessAskedForExactly) {
    const Xcb::Rect root{0, 0, 1920, 1080};
    ConfigureValues exact = Velk::fromRequest(request(size, 0, 0, 1920, 1080));
    EXPECT_FALSE(Velk::holdAt(exact, root));
    EXPECT_EQ(exact.mask, size);

    ConfigureValues smaller = Velk::fromRequest(request(position, 10, 10, 800, 600));
    EXPECT_TRUE(Velk::holdAt(smaller, root));
    EXPECT_EQ(smaller.mask, position | size);
    EXPECT_EQ(smaller.place.x, 0);
    EXPECT_EQ(smaller.place.width, 1920);
    EXPECT_EQ(smaller.place.height, 1080);
}

TEST(ConfigureValues, FrameIsTheClientPlusItsDecorationAndTheClientKeepsItsPlace) {
    const Velk::FrameMetrics bordered{0, 3, 18};
    const ConfigureValues move =
        Velk::fromRequest(request(position | size | XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE |
                                      XCB_CONFIG_WINDOW_BORDER_WIDTH,
                                  40, 30, 500, 400));
    const auto split = Velk::splitForFrame(move, bordered, screen, std::nullopt, false);
    EXPECT_EQ(split.frame.mask, position | size) << "no stacking (the kiosk's), no border";
    EXPECT_EQ(split.frame.place.x, 40);
    EXPECT_EQ(split.frame.place.width, 506);
    EXPECT_EQ(split.frame.place.height, 421);
    EXPECT_EQ(split.client.mask, size);
    EXPECT_EQ(split.client.place.width, 500);
    EXPECT_EQ(split.client.place.height, 400);

    // Wider than the screen: the frame takes the screen, the client its inside.
    const ConfigureValues large = Velk::fromRequest(request(size, 0, 0, 4000, 3000));
    const auto wide = Velk::splitForFrame(large, bordered, screen, std::nullopt, false);
    EXPECT_EQ(wide.frame.mask, position | size);
    EXPECT_EQ(wide.frame.place.width, 1920);
    EXPECT_EQ(wide.frame.place.height, 1080);
    EXPECT_EQ(wide.client.place.width, 1914);
    EXPECT_EQ(wide.client.place.height, 1059);
    // A client that cannot be resized is never cut.
    const auto kept = Velk::splitForFrame(large, bordered, screen, std::nullopt, true);
    EXPECT_EQ(kept.frame.place.width, 4006);
    EXPECT_EQ(kept.client.place.width, 4000);
    EXPECT_EQ(kept.client.place.height, 3000);

    const auto held = Velk::splitForFrame(Velk::fromRequest(request(position, 10, 10, 800, 600)), {0, 0, 18},
                                          screen, Xcb::Rect{0, 0, 1920, 1080}, false);
    EXPECT_EQ(held.frame.place.width, 1920);
    EXPECT_EQ(held.client.mask, position | size);
    EXPECT_EQ(held.client.place.y, 18);
    EXPECT_EQ(held.client.place.height, 1062);
}

}  // namespace
