// Geometry reads and the checked setters on live and destroyed windows,
// with the setters' debug lines.
#include <gtest/gtest.h>

#include "xcb_test_fixture.h"

namespace {

using namespace VelkTest;
using Velk::Xcb::Rect;

void expectRect(const Rect& rect, int x, int y, unsigned width, unsigned height) {
    EXPECT_EQ(rect.x, x);
    EXPECT_EQ(rect.y, y);
    EXPECT_EQ(rect.width, width);
    EXPECT_EQ(rect.height, height);
}

class GeometryTest : public XcbTest {
protected:
    xcb_window_t win = client.createBareWindow(10, 20, 300, 200);
};

TEST_F(GeometryTest, GeometryIsRelativeToTheParent) {
    expectRect(connector.getWindowGeometry(win, false), 10, 20, 300, 200);
    const auto size = connector.getWindowSize(win);
    EXPECT_EQ(size.width, 300);
    EXPECT_EQ(size.height, 200);
}

TEST_F(GeometryTest, TranslationTakesTheOwnPositionAsAPointInsideTheWindow) {
    expectRect(connector.getWindowGeometry(win, true), 20, 40, 300, 200);
}

TEST_F(GeometryTest, DestroyedWindowHasNoGeometryAndNothingIsReported) {
    client.destroy(win);
    LogCapture log;
    expectRect(connector.getWindowGeometry(win, false), -1, -1, 0, 0);
    expectRect(connector.getWindowGeometry(win, true), -1, -1, 0, 0);
    const auto size = connector.getWindowSize(win);
    EXPECT_EQ(size.width, 0);
    EXPECT_EQ(size.height, 0);
    EXPECT_TRUE(connector.reports.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(GeometryTest, SettersChangeTheWindowAndLogTheirChange) {
    const std::string id = [this] {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%08x", win);
        return std::string(text);
    }();
    LogCapture log;
    EXPECT_TRUE(connector.setWindowPosition(win, -5, 7));
    expectRect(connector.getWindowGeometry(win, false), -5, 7, 300, 200);
    EXPECT_TRUE(connector.setWindowSize(win, 640, 480));
    expectRect(connector.getWindowGeometry(win, false), -5, 7, 640, 480);
    EXPECT_TRUE(connector.setWindowGeometry(win, 1, 2, 3, 4));
    expectRect(connector.getWindowGeometry(win, false), 1, 2, 3, 4);

    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "setWindowPosition: window id: " + id + ", pos: -5, 7",
                               "setWindowSize: window id: " + id + ", resize to: 640x480",
                               "setWindowGeometry: window id: " + id + ", resize to: 3x4, pos: 1, 2",
                           }));
}

TEST_F(GeometryTest, SettersOfADestroyedWindowReportTheErrorAndFail) {
    client.destroy(win);
    LogCapture log;
    EXPECT_FALSE(connector.setWindowPosition(win, 1, 1));
    EXPECT_FALSE(connector.setWindowSize(win, 10, 10));
    EXPECT_FALSE(connector.setWindowGeometry(win, 1, 1, 10, 10));

    ASSERT_EQ(connector.reports.size(), 3U);
    const char* callers[] = {"setWindowPosition", "setWindowSize", "setWindowGeometry"};
    for (size_t index = 0; index < 3; ++index) {
        EXPECT_EQ(connector.reports[index].caller, callers[index]);
        EXPECT_EQ(connector.reports[index].request, "xcb_configure_window");
        EXPECT_EQ(connector.reports[index].errorCode, XCB_WINDOW);
    }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3U) << "error lines only, no debug line";
    EXPECT_EQ(lines[2].rfind("setWindowGeometry: xcb_configure_window failed, error code: 0x03", 0), 0U);
}

// Requests sent together and collected afterwards act as the same requests
// waited for one by one, each reported and logged as its caller's.
TEST_F(GeometryTest, PendingChangesAndReadsAreCollectedInTheOrderSent) {
    const xcb_window_t gone = client.createBareWindow(0, 0, 10, 10);
    client.destroy(gone);
    LogCapture log;
    auto move = connector.requestConfigure(win, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, 7, 8, 0, 0);
    auto refused =
        connector.requestConfigure(gone, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, 0, 0, 5, 6);
    auto read = connector.requestGeometry(win);
    auto readGone = connector.requestGeometry(gone);
    expectRect(Velk::Xcb::Connector::collectGeometry(std::move(readGone)), -1, -1, 0, 0);
    expectRect(Velk::Xcb::Connector::collectGeometry(std::move(read)), 7, 8, 300, 200);
    EXPECT_TRUE(connector.confirmConfigure(std::move(move), "movingCaller"));
    EXPECT_FALSE(connector.confirmConfigure(std::move(refused), "sizingCaller"));

    ASSERT_EQ(connector.reports.size(), 1U) << "the geometry read reports nothing";
    EXPECT_EQ(connector.reports[0].caller, "sizingCaller");
    EXPECT_EQ(connector.reports[0].errorCode, XCB_WINDOW);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2U);
    char expected[64];
    std::snprintf(expected, sizeof(expected), "movingCaller: window id: 0x%08x, pos: 7, 8", win);
    EXPECT_EQ(lines[0], expected);
    EXPECT_EQ(lines[1].rfind("sizingCaller: xcb_configure_window failed, error code: 0x03", 0), 0U);
}

// An answer never collected is dropped with its holder: the next request's
// answer is still the one collected.
TEST_F(GeometryTest, UncollectedAnswersAreDropped) {
    const xcb_window_t gone = client.createBareWindow(0, 0, 10, 10);
    client.destroy(gone);
    {
        auto unread = connector.requestGeometry(win);
        auto refused =
            connector.requestConfigure(gone, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, 0, 0, 0, 0);
    }
    EXPECT_TRUE(connector.setWindowSize(win, 30, 40));
    expectRect(connector.getWindowGeometry(win, false), 10, 20, 30, 40);
    EXPECT_TRUE(connector.reports.empty()) << "the dropped refusal is not reported";
}

}  // namespace
