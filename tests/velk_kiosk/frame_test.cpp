// The frame as the user sees and handles it: colours and images in a
// screenshot, move, resize and cancel with the mouse, the close button, and
// the resize cursors over border and corners.
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

constexpr uint32_t frameColour = 0x021D47;

// The bordered 640x480 window at 100,100: its frame is 646x501 there.
class FrameTest : public KioskTest {
protected:
    void SetUp() override {
        KioskTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        startKiosk(std::nullopt);
        win = mapWindow(WindowSpec{});
        frame = client.frameOf(win);
        ASSERT_NE(frame, 0U);
        expectWindowed(client, win);
    }

    void mouse(const std::vector<std::string>& steps) const { xdotool(server.displayName(), steps); }

    xcb_window_t win = 0;
    xcb_window_t frame = 0;
};

TEST_F(FrameTest, BorderHasTheFrameColourAndTheImagesAreDrawnWhereClicksLand) {
    Screenshot shot;
    // The images arrive with the frame's first Expose.
    const bool drawn = waitUntil(
        [&] {
            shot = screenshot(server.displayName(), {100, 100, 646, 501});
            return shot.pixel(7, 4) == 0xFFFFFF;
        },
        10s);
    ASSERT_TRUE(drawn) << "no logo in the title bar";
    EXPECT_EQ(shot.pixel(1, 300), frameColour) << "left border";
    EXPECT_EQ(shot.pixel(644, 300), frameColour) << "right border";
    EXPECT_EQ(shot.pixel(300, 499), frameColour) << "bottom border";
    EXPECT_EQ(shot.pixel(300, 9), frameColour) << "title bar";
    EXPECT_EQ(shot.pixel(5, 4), 0x2F8CF0U) << "logo badge";
    EXPECT_EQ(shot.pixel(1, 1), frameColour) << "black logo pixels are transparent";
    // The close button ends at the frame's right edge, 24 + 1 pixels in.
    EXPECT_EQ(shot.pixel(646 - 25 + 20, 1 + 8), 0xD9363EU) << "close button";
    EXPECT_EQ(shot.pixel(646 - 25 + 11, 1 + 7), 0xFFFFFFU) << "cross of the close button";
    EXPECT_EQ(shot.pixel(646 - 25 + 1, 1 + 1), frameColour) << "black close pixels are transparent";
}

TEST_F(FrameTest, DragOnTheTitleBarMovesTheFrame) {
    mouse({"mousemove", "300", "108", "mousedown", "1", "mousemove", "400", "158", "mouseup", "1"});
    EXPECT_TRUE(settlesAt(client, frame, {200, 150, 646, 501}));
    EXPECT_EQ(client.geometry(win), (Geometry{3, 18, 640, 480}));
}

TEST_F(FrameTest, DragOnTheBottomBorderChangesWidthAndHeight) {
    mouse({"mousemove", "400", "599", "mousedown", "1", "mousemove", "450", "639", "mouseup", "1"});
    EXPECT_TRUE(settlesAt(client, frame, {100, 100, 696, 541}));
    EXPECT_TRUE(settlesAt(client, win, {3, 18, 690, 520}));
}

TEST_F(FrameTest, DragOnTheLeftBorderMovesTheLeftEdge) {
    mouse({"mousemove", "101", "300", "mousedown", "1", "mousemove", "61", "310", "mouseup", "1"});
    EXPECT_TRUE(settlesAt(client, frame, {60, 100, 686, 511}));
    EXPECT_TRUE(settlesAt(client, win, {3, 18, 680, 490}));
}

TEST_F(FrameTest, DragPastTheOppositeEdgeStopsAtTheSmallestFrame) {
    mouse({"mousemove", "745", "600", "mousedown", "1", "mousemove", "10", "10", "mouseup", "1"});
    EXPECT_TRUE(settlesAt(client, frame, {100, 100, 7, 22}));
    EXPECT_TRUE(settlesAt(client, win, {3, 18, 1, 1}));
}

TEST_F(FrameTest, ButtonThreeCancelsTheDragUnderWay) {
    mouse({"mousemove", "300", "108", "mousedown", "1", "mousedown", "3", "mousemove", "500", "300",
           "mouseup", "3", "mouseup", "1"});
    syncWithKiosk();
    EXPECT_EQ(client.geometry(frame), (Geometry{100, 100, 646, 501}));
}

TEST_F(FrameTest, CloseButtonSendsExactlyOneDeleteRequestOnRelease) {
    mouse({"mousemove", "300", "108", "click", "1"});
    mouse({"mousemove", "733", "109", "mousedown", "1", "mousemove", "500", "500", "mouseup", "1"});
    ASSERT_TRUE(waitUntil([&] { return client.deleteRequests(win) > 0; }, 10s));
    syncWithKiosk();
    EXPECT_EQ(client.deleteRequests(win), 1);
    // The kiosk never closes the window itself.
    EXPECT_EQ(client.frameOf(win), frame);
}

TEST_F(FrameTest, BordersAndCornersShowTheirResizeCursors) {
    const std::string display = server.displayName();
    struct Spot {
        const char* cursor;
        int x;
        int y;
    };
    const Spot spots[] = {{"sw-resize", 102, 598}, {"se-resize", 743, 598}, {"s-resize", 400, 599},
                          {"w-resize", 101, 300},  {"e-resize", 744, 300},  {"left_ptr", 300, 108}};
    std::map<std::string, std::vector<uint32_t>> expected;
    for (const auto& spot : spots) {
        expected[spot.cursor] = themeCursorImage(client, display, spot.cursor);
        ASSERT_GT(expected[spot.cursor].size(), 4U) << spot.cursor;
    }
    ASSERT_NE(expected["sw-resize"], expected["se-resize"]) << "the cursor theme lacks resize cursors";

    for (const auto& spot : spots) {
        // From outside the frame, so that each spot is entered anew.
        xdotool(display,
                {"mousemove", "1000", "900", "mousemove", std::to_string(spot.x), std::to_string(spot.y)});
        std::vector<uint32_t> shown;
        const bool matches = waitUntil(
            [&] {
                shown = cursorImage(client);
                return shown == expected[spot.cursor];
            },
            5s);
        EXPECT_TRUE(matches) << spot.cursor << " at " << spot.x << "," << spot.y;
    }
    // Crossings are no news for an operator: debug only.
    const auto records = journal.records("onEnterLeaveNotify: test geom", 1, 5s, kiosk->pid());
    ASSERT_FALSE(records.empty());
    for (const auto& record : records) {
        EXPECT_EQ(record["PRIORITY"].asString(), "7") << record["MESSAGE"].asString();
    }
}

TEST_F(KioskTest, CloseButtonEndsXmessageAndWithItTheKiosk) {
    startKiosk(std::nullopt, {"/usr/bin/xmessage", "-geometry", "300x100+100+100", "close me"});
    xcb_window_t frame = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            auto* tree = xcb_query_tree_reply(client.connection(),
                                              xcb_query_tree(client.connection(), client.root()), nullptr);
            if (tree) {
                const xcb_window_t* children = xcb_query_tree_children(tree);
                for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
                    if (client.netWmName(children[i]) == "KIOSK_FRAME") {
                        frame = children[i];
                    }
                }
            }
            std::free(tree);
            return frame != 0;
        },
        20s));
    Geometry where;
    ASSERT_TRUE(waitUntil(
        [&] {
            where = client.geometry(frame);
            return where.width > 100;
        },
        10s));
    // The close button's middle: 12 pixels left of the right edge, 8 down.
    xdotool(server.displayName(), {"mousemove", std::to_string(where.x + where.width - 12),
                                   std::to_string(where.y + 8), "click", "1"});
    const auto result = kiosk->child().wait(20s);
    ASSERT_TRUE(result) << "xmessage did not close";
    // Closed by its window manager, xmessage ends with 1 (its buttons say 0
    // or their own value); the kiosk's status is its program's.
    EXPECT_EQ(result->exitCode(), 1) << result->err;
    kiosk.reset();
}

}  // namespace
