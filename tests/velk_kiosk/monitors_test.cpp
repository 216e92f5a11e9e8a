// The monitors' arithmetic alone, where the system tests do not reach: the
// names a rule may give, boxes that are none, a primary of RandR's own, and
// the work areas struts leave on each monitor and on the root.
#include <gtest/gtest.h>

#include <array>

#include "velk_kiosk/monitors.h"

namespace {

using Velk::Monitors;
using Velk::strutOf;

// x, y, width, height.
using Box = std::array<int, 4>;

Box boxOf(const Velk::Xcb::Rect& rect) {
    return {rect.x, rect.y, rect.width, rect.height};
}

// "left" 1920x1080 and "right" 1280x1024 beside it on a 3200x1080 root.
Monitors twoMonitors(bool rightPrimary = false) {
    Monitors monitors({3200, 1080});
    monitors.replace({{"left", {0, 0, 1920, 1080}, false}, {"right", {1920, 0, 1280, 1024}, rightPrimary}},
                     {3200, 1080});
    return monitors;
}

TEST(Monitors, RulesNameAMonitorByNameIndexOrPrimaryAndBadEdgesSpanNothing) {
    const Monitors monitors = twoMonitors();
    const std::pair<const char*, std::optional<size_t>> cases[] = {
        {"right", 1},       {"1", 1}, {"primary", 0}, {"2", std::nullopt}, {"middle", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [wanted, expected] : cases) {
        EXPECT_EQ(monitors.find(wanted), expected) << wanted;
    }
    EXPECT_EQ(twoMonitors(true).find("primary"), 1U);
    EXPECT_EQ(twoMonitors(true).mostlyOn({-3000, 0, 10, 10}), 1U);
    EXPECT_FALSE(monitors.spanning({0, 0, 0, 2}));
    EXPECT_FALSE(monitors.spanning({0, 0, 1, 0}));
}

TEST(Monitors, StrutsReserveTheEdgeOfTheMonitorsTheyReach) {
    const Velk::Xcb::Size root{3200, 1080};
    const struct {
        const char* what;
        std::optional<Velk::Strut> strut;
        Box left, right, whole;
    } cases[] = {
        {"bottom of left",
         strutOf({0, 0, 0, 200, 0, 0, 0, 0, 0, 0, 0, 1919}, {}, root),
         {0, 0, 1920, 880},
         {1920, 0, 1280, 1024},
         {0, 0, 3200, 880}},
        {"bottom of right",
         strutOf({0, 0, 0, 356, 0, 0, 0, 0, 0, 0, 1920, 3199}, {}, root),
         {0, 0, 1920, 1080},
         {1920, 0, 1280, 724},
         {0, 0, 3200, 724}},
        {"left, whole edge",
         strutOf({1, 2}, {100, 0, 0, 0}, root),
         {100, 0, 1820, 1080},
         {1920, 0, 1280, 1024},
         {100, 0, 3100, 1080}},
        {"right of right",
         strutOf({0, 50, 0, 0, 0, 0, 0, 1023, 0, 0, 0, 0}, {}, root),
         {0, 0, 1920, 1080},
         {1920, 0, 1230, 1024},
         {0, 0, 3150, 1080}},
        {"top past the bottom",
         strutOf({}, {0, 0, 2000, 0}, root),
         {0, 0, 1920, 1080},
         {1920, 0, 1280, 1024},
         {0, 0, 3200, 1080}},
    };
    for (const auto& one : cases) {
        Monitors monitors = twoMonitors();
        ASSERT_TRUE(one.strut) << one.what;
        const bool changes = one.whole != Box{0, 0, 3200, 1080};
        EXPECT_EQ(monitors.reserve({*one.strut}), changes) << one.what;
        EXPECT_EQ(boxOf(monitors.workArea(0)), one.left) << one.what;
        EXPECT_EQ(boxOf(monitors.workArea(1)), one.right) << one.what;
        EXPECT_EQ(boxOf(monitors.rootWorkArea()), one.whole) << one.what;
        EXPECT_FALSE(monitors.reserve({*one.strut})) << one.what;
    }
    EXPECT_FALSE(strutOf({1, 2, 3}, {4, 5}, root));
}

}  // namespace
