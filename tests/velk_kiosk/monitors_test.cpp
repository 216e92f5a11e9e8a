// The monitors' arithmetic alone: the monitor a rule names or a window is
// mostly on, the box a full-screen window spans, the work areas struts
// leave, and a window kept on one monitor.
#include <gtest/gtest.h>

#include "velk_kiosk/monitors.h"

namespace {

using Velk::Monitors;
using Velk::Strut;
using Velk::Xcb::Rect;

struct Box {
    int x, y, width, height;
    bool operator==(const Box& other) const {
        return x == other.x && y == other.y && width == other.width && height == other.height;
    }
};

Box boxOf(const Rect& rect) {
    return {rect.x, rect.y, rect.width, rect.height};
}

std::ostream& operator<<(std::ostream& out, const Box& box) {
    return out << box.x << "," << box.y << " " << box.width << "x" << box.height;
}

// "left" 1920x1080 and "right" 1280x1024 beside it on a 3200x1080 root.
Monitors twoMonitors(bool rightPrimary = false) {
    Monitors monitors({3200, 1080});
    monitors.replace({{"left", {0, 0, 1920, 1080}, false}, {"right", {1920, 0, 1280, 1024}, rightPrimary}},
                     {3200, 1080});
    return monitors;
}

TEST(Monitors, WithoutAListTheRootIsTheOnePrimaryMonitor) {
    const Monitors whole({1920, 1080});
    ASSERT_EQ(whole.list().size(), 1U);
    EXPECT_EQ(boxOf(whole.at(whole.primary()).area), (Box{0, 0, 1920, 1080}));
    EXPECT_EQ(whole.find("primary"), 0U);
}

TEST(Monitors, ARuleNamesAMonitorByNameIndexOrPrimary) {
    const Monitors monitors = twoMonitors();
    const std::pair<const char*, std::optional<size_t>> cases[] = {
        {"right", 1},       {"1", 1}, {"0", 0}, {"primary", 0}, {"2", std::nullopt}, {"middle", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [spec, expected] : cases) {
        EXPECT_EQ(monitors.find(spec), expected) << spec;
    }
    EXPECT_EQ(twoMonitors(true).find("primary"), 1U);
}

TEST(Monitors, AWindowIsOnTheMonitorItIsMostlyOnElseThePrimary) {
    const struct {
        Rect rect;
        size_t expected;
        size_t expectedRightPrimary;
    } cases[] = {
        {{100, 100, 640, 480}, 0, 0},
        {{1800, 100, 640, 480}, 1, 1},
        {{-3000, 0, 10, 10}, 0, 1},
        {{0, 0, 0, 0}, 0, 1},
    };
    for (const auto& one : cases) {
        EXPECT_EQ(twoMonitors().mostlyOn(one.rect), one.expected) << boxOf(one.rect);
        EXPECT_EQ(twoMonitors(true).mostlyOn(one.rect), one.expectedRightPrimary) << boxOf(one.rect);
    }
}

TEST(Monitors, FullScreenMonitorsSpanTheBoxOfTheirEdgesOrNothing) {
    const Monitors monitors = twoMonitors();
    EXPECT_EQ(boxOf(*monitors.spanning({0, 0, 0, 1})), (Box{0, 0, 3200, 1080}));
    EXPECT_EQ(boxOf(*monitors.spanning({1, 1, 1, 1})), (Box{1920, 0, 1280, 1024}));
    EXPECT_FALSE(monitors.spanning({0, 0, 0, 2}));
    EXPECT_FALSE(monitors.spanning({0, 0, 1, 0}));
}

TEST(Monitors, StrutsReserveTheEdgeOfTheMonitorsTheyReach) {
    const Velk::Xcb::Size root{3200, 1080};
    const struct {
        const char* what;
        Strut strut;
        Box left, right, whole;
    } cases[] = {
        {"bottom of left",
         *Velk::strutOf({0, 0, 0, 200, 0, 0, 0, 0, 0, 0, 0, 1919}, {}, root),
         {0, 0, 1920, 880},
         {1920, 0, 1280, 1024},
         {0, 0, 3200, 880}},
        {"bottom of right",
         *Velk::strutOf({0, 0, 0, 356, 0, 0, 0, 0, 0, 0, 1920, 3199}, {}, root),
         {0, 0, 1920, 1080},
         {1920, 0, 1280, 724},
         {0, 0, 3200, 724}},
        {"left, whole edge",
         *Velk::strutOf({}, {100, 0, 0, 0}, root),
         {100, 0, 1820, 1080},
         {1920, 0, 1280, 1024},
         {100, 0, 3100, 1080}},
        {"right of right",
         *Velk::strutOf({0, 50, 0, 0, 0, 0, 0, 1023, 0, 0, 0, 0}, {}, root),
         {0, 0, 1920, 1080},
         {1920, 0, 1230, 1024},
         {0, 0, 3150, 1080}},
        {"top past the bottom",
         *Velk::strutOf({}, {0, 0, 2000, 0}, root),
         {0, 0, 1920, 1080},
         {1920, 0, 1280, 1024},
         {0, 0, 3200, 1080}},
    };
    for (const auto& one : cases) {
        Monitors monitors = twoMonitors();
        monitors.reserve({one.strut});
        EXPECT_EQ(boxOf(monitors.workArea(0)), one.left) << one.what;
        EXPECT_EQ(boxOf(monitors.workArea(1)), one.right) << one.what;
        EXPECT_EQ(boxOf(monitors.rootWorkArea()), one.whole) << one.what;
    }
    Monitors monitors = twoMonitors();
    EXPECT_TRUE(monitors.reserve({*Velk::strutOf({}, {0, 0, 0, 10}, root)}));
    EXPECT_FALSE(monitors.reserve({*Velk::strutOf({}, {0, 0, 0, 10}, root)}));
    EXPECT_FALSE(Velk::strutOf({1, 2, 3}, {4, 5}, root));
    EXPECT_EQ(Velk::strutOf({1, 2, 3}, {4, 5, 6, 7}, root)->left, 4U);
}

TEST(Monitors, AFrameThatFitsAMonitorIsKeptOnTheOneItIsMostlyOn) {
    const Monitors monitors = twoMonitors();
    const std::pair<Rect, Box> cases[] = {
        {{1700, 100, 646, 501}, {1920, 100, 646, 501}},
        {{3000, 900, 646, 501}, {2554, 523, 646, 501}},
        {{100, 100, 646, 501}, {100, 100, 646, 501}},
        {{0, 0, 2500, 500}, {0, 0, 2500, 500}},
    };
    for (const auto& [frame, expected] : cases) {
        EXPECT_EQ(boxOf(Velk::keptOnMonitor(frame, monitors)), expected) << boxOf(frame);
    }
}

}  // namespace
