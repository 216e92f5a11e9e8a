// The connector's connection (plain, with a cookie, refused, replaced,
// broken), atoms, formats and visuals, the X error line and rectangles, all
// against a private Xvfb.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <regex>

#include "private_journal.h"
#include "xcb_test_fixture.h"

namespace {

using VelkTest::EnvironmentGuard;

namespace fs = std::filesystem;
using namespace VelkTest;
using Velk::xcb_error;
using Velk::Xcb::Connector;
using Velk::Xcb::GenericError;
using Velk::Xcb::Rect;

std::vector<uint8_t> randomCookie() {
    std::random_device random;
    std::vector<uint8_t> cookie(16);
    for (auto& byte : cookie) {
        byte = static_cast<uint8_t>(random());
    }
    return cookie;
}

// A display number that nothing serves: neither its socket nor its lock exists.
uint32_t unusedDisplay() {
    for (uint32_t display = 60000;; ++display) {
        const std::string number = std::to_string(display);
        if (!fs::exists("/tmp/.X11-unix/X" + number) && !fs::exists("/tmp/.X" + number + "-lock")) {
            return display;
        }
    }
}

std::string refusedLine(uint32_t display) {
    return "connectToDisplay: xcb_connect failed, addr: :" + std::to_string(display);
}

// A server that accepts only the holders of one cookie.
class CookieTest : public ::testing::Test {
protected:
    static XvfbOptions withAuthFile(const fs::path& file, const std::vector<uint8_t>& cookie) {
        writeCookieFile(file, cookie);
        XvfbOptions options;
        options.authFile = file;
        return options;
    }

    TempDir dir;
    std::vector<uint8_t> cookie = randomCookie();
    XvfbServer server{withAuthFile(dir / "server.auth", cookie)};
};

TEST(ConnectorConnection, HasErrorIsMinusOneBeforeAnyConnection) {
    const Connector connector;
    EXPECT_EQ(connector.hasError(), -1);
}

TEST(ConnectorConnection, ConnectsToTheFirstScreenWithItsRootDepthFormat) {
    XvfbServer server;
    const RecordingConnector connector(server.display(), nullptr);
    const XTestClient client(server.display());

    EXPECT_EQ(connector.hasError(), 0);
    EXPECT_EQ(connector.windowRoot(), client.root());
    EXPECT_EQ(connector.depth(), 24);
    EXPECT_EQ(connector.bitsPerPixel(), 32);
}

TEST(ConnectorConnection, DisplayWithoutServerIsRefusedWithTheAddressInTheLog) {
    const uint32_t display = unusedDisplay();
    Connector connector;
    LogCapture log;
    EXPECT_FALSE(connector.connectToDisplay(display, nullptr));
    EXPECT_EQ(log.lines(), std::vector<std::string>{refusedLine(display)});
    EXPECT_GT(connector.hasError(), 0) << "the failed connection stays held";

    try {
        Connector constructed(display, nullptr);
        ADD_FAILURE() << "the connecting constructor must throw";
    } catch (const xcb_error& error) {
        EXPECT_STREQ(error.what(), "Connector");
    }
}

TEST(ConnectorConnection, SuccessLogsNothingOutsideTheTraceLevel) {
    XvfbServer server;
    Connector connector;
    LogCapture log;
    ASSERT_TRUE(connector.connectToDisplay(server.display(), nullptr));
    EXPECT_EQ(log.lines(), std::vector<std::string>{});
}

TEST(ConnectorConnection, TraceLevelLogsTheRandrVersionTheServerAnswered) {
    PrivateJournal journal;
    if (!journal.failure().empty()) {
        if (runningAsRoot()) {
            FAIL() << "private journal failed: " << journal.failure();
        }
        GTEST_SKIP() << "needs root for a private systemd-journald: " << journal.failure();
    }
    XvfbServer server;
    const auto saved = static_cast<Velk::DebugLevel>(Velk::Syslog::debugLevel());
    Velk::Syslog::setDebugLevel(Velk::DebugLevel::Trace);
    Connector connector;
    const bool connected = connector.connectToDisplay(server.display(), nullptr);
    Velk::Syslog::setDebugLevel(saved);
    ASSERT_TRUE(connected);

    const auto records = journal.records("used RANDR extension", 1);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records.front()["MESSAGE"].asString(), "used RANDR extension, version: 1.6");
}

TEST(ConnectorConnection, ReconnectingClosesThePreviousConnection) {
    XvfbServer server;
    Connector connector;
    ASSERT_TRUE(connector.connectToDisplay(server.display(), nullptr));
    const int descriptors = countOpenDescriptors();
    ASSERT_TRUE(connector.connectToDisplay(server.display(), nullptr));
    ASSERT_TRUE(connector.connectToDisplay(server.display(), nullptr));
    EXPECT_EQ(countOpenDescriptors(), descriptors);
}

TEST_F(CookieTest, RightCookieIsAccepted) {
    const Connector connector(server.display(), &cookie);
    EXPECT_EQ(connector.hasError(), 0);
}

TEST_F(CookieTest, WrongOrMissingCookieIsRefused) {
    auto wrong = cookie;
    wrong[0] ^= 0xFF;
    // No authority file of the user's that might hold the right cookie.
    EnvironmentGuard authority("XAUTHORITY", (dir / "none").string());
    Connector connector;
    LogCapture log;
    EXPECT_FALSE(connector.connectToDisplay(server.display(), &wrong));
    EXPECT_FALSE(connector.connectToDisplay(server.display(), nullptr));
    const auto line = refusedLine(server.display());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{line, line}));
    EXPECT_THROW(Connector(server.display(), &wrong), xcb_error);
}

TEST_F(CookieTest, EmptyCookieIsSentAsSuchInsteadOfTheUsersAuthority) {
    // The user's authority file holds the right cookie: only a connection
    // without a cookie of its own reads it.
    const fs::path userAuthority = dir / "user.auth";
    writeCookieFile(userAuthority, cookie, server.displayName());
    EnvironmentGuard authority("XAUTHORITY", userAuthority.string());

    Connector connector;
    EXPECT_TRUE(connector.connectToDisplay(server.display(), nullptr));
    const std::vector<uint8_t> empty;
    EXPECT_FALSE(connector.connectToDisplay(server.display(), &empty));
}

TEST(BrokenConnection, OperationsGiveNeutralResultsAndHasErrorTellsWhy) {
    auto server = std::make_unique<XvfbServer>();
    RecordingConnector connector(server->display(), nullptr);
    const XTestClient client(server->display());
    const xcb_window_t win = client.createBareWindow(10, 10, 100, 100);
    client.setBytes(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, "named");
    ASSERT_EQ(connector.getWindowName(win), "named");

    server->kill();
    EXPECT_EQ(connector.getAtom("WM_NAME", false), 0U);
    EXPECT_NE(connector.hasError(), 0);
    EXPECT_EQ(connector.getAtomName(XCB_ATOM_WM_NAME), "NONE");
    EXPECT_EQ(connector.getWindowName(win), "");
    EXPECT_EQ(connector.getPropertyAtomList(win, XCB_ATOM_WM_NAME).size(), 0U);
    EXPECT_TRUE(connector.getWindows().empty());
    Velk::Xcb::SizeHints hints;
    EXPECT_FALSE(connector.getWindowNormalHints(win, &hints));
    const Rect geometry = connector.getWindowGeometry(win, false);
    EXPECT_EQ(geometry.x, -1);
    EXPECT_EQ(geometry.width, 0);
    EXPECT_FALSE(connector.setWindowPosition(win, 1, 1));
    EXPECT_FALSE(connector.setWindowGeometry(win, 1, 1, 10, 10));
    EXPECT_FALSE(connector.randrCurrentScreenResources());
    EXPECT_EQ(connector.randrOutputModeAdd(0, 1280, 720), 0U);
    EXPECT_FALSE(connector.randrCrtcDisconnect(0));
    EXPECT_FALSE(connector.randrSetScreenSize(1280, 720, 96));
    EXPECT_TRUE(connector.getScreenSizes().empty());

    std::vector<uint8_t> buffer(400);
    const auto info = connector.copyWindowPixmapTo(win, {0, 0, 10, 10}, buffer.data(), buffer.size());
    EXPECT_EQ(info.pixels, nullptr);
    EXPECT_EQ(info.size, 0U);
}

TEST_F(XcbTest, UnknownAtomIsZeroWithoutCreateAndLogsNothing) {
    LogCapture log;
    EXPECT_EQ(connector.getAtom("VELK_NEVER_INTERNED", false), 0U);
    const xcb_atom_t created = connector.getAtom("VELK_NEVER_INTERNED", true);
    EXPECT_NE(created, 0U);
    EXPECT_EQ(connector.getAtom("VELK_NEVER_INTERNED", false), created);
    EXPECT_EQ(client.atom("VELK_NEVER_INTERNED"), created);
    EXPECT_EQ(connector.getAtom("WM_NAME", false), XCB_ATOM_WM_NAME);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(XcbTest, AtomNamesAndTheNoneCases) {
    EXPECT_EQ(connector.getAtomName(XCB_ATOM_WM_NORMAL_HINTS), "WM_NORMAL_HINTS");
    EXPECT_EQ(connector.getAtomName(client.atom("_NET_WM_PID")), "_NET_WM_PID");
    EXPECT_EQ(connector.getAtomName(0), "NONE");
    EXPECT_TRUE(connector.reports.empty());

    LogCapture log;
    EXPECT_EQ(connector.getAtomName(0x7FFFFF), "NONE");
    ASSERT_EQ(connector.reports.size(), 1U);
    EXPECT_EQ(connector.reports[0].caller, "getAtomName");
    EXPECT_EQ(connector.reports[0].request, "xcb_get_atom_name");
    EXPECT_EQ(connector.reports[0].errorCode, XCB_ATOM);

    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    const std::regex format(
        "getAtomName: xcb_get_atom_name failed, error code: 0x05, major: 0x11, minor: 0x0000, "
        "sequence: 0x[0-9a-f]{4}");
    EXPECT_TRUE(std::regex_match(lines[0], format)) << lines[0];
}

TEST_F(XcbTest, ErrorLineWithoutErrorRecordNamesCallerAndRequest) {
    LogCapture log;
    connector.Connector::toSyslogError(GenericError(), "someCaller", "xcb_some_request");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"someCaller: xcb_some_request failed"});
}

TEST_F(XcbTest, FormatsAreLookedUpInServerOrder) {
    // Xvfb lists depth 1/bpp 1, 4/8, 8/8, 16/16, 24/32, 32/32.
    ASSERT_NE(connector.findFormat(24), nullptr);
    EXPECT_EQ(connector.findFormat(24)->bits_per_pixel, 32);
    EXPECT_EQ(connector.findFormat(7), nullptr);
    EXPECT_EQ(connector.bppFromDepth(1), 1);
    EXPECT_EQ(connector.bppFromDepth(16), 16);
    EXPECT_EQ(connector.bppFromDepth(7), 0);
    EXPECT_EQ(connector.depthFromBpp(8), 4) << "the first format with 8 bits per pixel";
    EXPECT_EQ(connector.depthFromBpp(32), 24);
    EXPECT_EQ(connector.depthFromBpp(24), 0);
}

TEST_F(XcbTest, VisualsOfEveryAllowedDepthAreFound) {
    const xcb_visualtype_t* root = connector.findVisual(connector.rootScreen().root_visual);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->red_mask, 0xFF0000U);
    EXPECT_EQ(root->green_mask, 0xFF00U);
    EXPECT_EQ(root->blue_mask, 0xFFU);

    // A visual of another depth than the root's.
    std::optional<xcb_visualid_t> other;
    for (auto depths = xcb_screen_allowed_depths_iterator(&connector.rootScreen()); depths.rem;
         xcb_depth_next(&depths)) {
        if (depths.data->depth != 24 && xcb_depth_visuals_length(depths.data) > 0) {
            other = xcb_depth_visuals(depths.data)[0].visual_id;
        }
    }
    ASSERT_TRUE(other);
    ASSERT_NE(connector.findVisual(*other), nullptr);
    EXPECT_EQ(connector.findVisual(*other)->visual_id, *other);
    EXPECT_EQ(connector.findVisual(0xDEADBEEF), nullptr);
}

TEST(RectInclude, EdgesOfTheRectangle) {
    const Rect rect{10, 20, 5, 3};
    EXPECT_TRUE(Rect::include(rect, 10, 20));
    EXPECT_TRUE(Rect::include(rect, 14, 22));
    EXPECT_FALSE(Rect::include(rect, 15, 20));
    EXPECT_FALSE(Rect::include(rect, 9, 20));
    EXPECT_FALSE(Rect::include(rect, 10, 23));
    EXPECT_FALSE(Rect::include(rect, 10, 19));
}

TEST(RectInclude, EmptyRectangleIncludesNothing) {
    EXPECT_FALSE(Rect::include(Rect{10, 10, 0, 5}, 10, 10));
    EXPECT_FALSE(Rect::include(Rect{10, 10, 5, 0}, 10, 10));
}

TEST(RectInclude, FarEdgePastTheSixteenBitRangeDoesNotWrap) {
    const Rect rect{32000, 32000, 1000, 1000};
    EXPECT_TRUE(Rect::include(rect, 32767, 32767));
    EXPECT_FALSE(Rect::include(rect, 31999, 32767));
    EXPECT_TRUE(Rect::include(Rect{-100, -100, 200, 200}, -100, 99));
}

TEST(RectIntersects, OverlapAndSharedEdges) {
    const Rect a{0, 0, 100, 100};
    EXPECT_TRUE(Rect::intersects(a, Rect{99, 99, 10, 10}));
    EXPECT_TRUE(Rect::intersects(a, Rect{-10, -10, 20, 20}));
    EXPECT_TRUE(Rect::intersects(a, Rect{20, 20, 10, 10})) << "one inside the other";
    EXPECT_FALSE(Rect::intersects(a, Rect{100, 0, 10, 10})) << "a.x + a.width == b.x";
    EXPECT_FALSE(Rect::intersects(a, Rect{0, 100, 10, 10}));
    EXPECT_FALSE(Rect::intersects(Rect{100, 0, 10, 10}, a));
}

TEST(RectIntersects, ZeroSizedRectangleIntersectsNothing) {
    const Rect a{0, 0, 100, 100};
    EXPECT_FALSE(Rect::intersects(a, Rect{10, 10, 0, 10}));
    EXPECT_FALSE(Rect::intersects(Rect{10, 10, 10, 0}, a));
}

TEST(RectIntersects, FarEdgesPastTheSixteenBitRangeDoNotWrap) {
    EXPECT_TRUE(Rect::intersects(Rect{32000, 0, 1000, 10}, Rect{32700, 0, 60000, 10}));
    EXPECT_FALSE(Rect::intersects(Rect{32000, 0, 767, 10}, Rect{32767, 0, 10, 10}));
}

}  // namespace
