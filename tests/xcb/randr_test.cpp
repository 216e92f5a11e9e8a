// RandR modes, CRTCs and the screen size on Xvfb's one output, with mode
// lines from the real /usr/bin/cvt and the outcome read back by a second
// client and by xrandr.
#include <gtest/gtest.h>

#include <cstdlib>

#include "xcb_test_fixture.h"

namespace {

using namespace VelkTest;
using Velk::xcb_error;

template <typename Reply>
using Owned = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
Owned<Reply> own(Reply* reply) {
    return Owned<Reply>(reply, std::free);
}

class RandrTest : public XcbTest {
protected:
    Owned<xcb_randr_get_screen_resources_current_reply_t> resources() const {
        xcb_connection_t* c = client.connection();
        return own(xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, client.root()), nullptr));
    }

    // The modes of the server, by name.
    std::map<std::string, xcb_randr_mode_info_t> modes() const {
        const auto res = resources();
        std::map<std::string, xcb_randr_mode_info_t> result;
        const auto* infos = xcb_randr_get_screen_resources_current_modes(res.get());
        const char* names =
            reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(res.get()));
        for (int index = 0; index < xcb_randr_get_screen_resources_current_modes_length(res.get()); ++index) {
            result[std::string(names, infos[index].name_len)] = infos[index];
            names += infos[index].name_len;
        }
        return result;
    }

    std::vector<xcb_randr_mode_t> outputModes() const {
        const auto res = resources();
        xcb_connection_t* c = client.connection();
        const xcb_randr_output_t output = xcb_randr_get_screen_resources_current_outputs(res.get())[0];
        const auto info = own(xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, output, res->config_timestamp), nullptr));
        const auto* ids = xcb_randr_get_output_info_modes(info.get());
        return {ids, ids + xcb_randr_get_output_info_modes_length(info.get())};
    }

    Owned<xcb_randr_get_crtc_info_reply_t> crtcInfo() const {
        const auto res = resources();
        xcb_connection_t* c = client.connection();
        const xcb_randr_crtc_t crtc = xcb_randr_get_screen_resources_current_crtcs(res.get())[0];
        return own(xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, crtc, res->config_timestamp),
                                                 nullptr));
    }

    bool outputHas(xcb_randr_mode_t mode) const {
        const auto ids = outputModes();
        return std::find(ids.begin(), ids.end(), mode) != ids.end();
    }

    std::string xrandr() const {
        const auto result = runProcess({"/usr/bin/xrandr", "-display", server.displayName(), "-q"});
        EXPECT_EQ(result.exitCode(), 0) << result.err;
        return result.out;
    }

    // The screen size and millimetres as a new client is told them.
    xcb_screen_t freshScreen() const {
        const XTestClient fresh(server.display());
        return *xcb_setup_roots_iterator(xcb_get_setup(fresh.connection())).data;
    }
};

TEST_F(RandrTest, ScreenResourcesAndSizesOfTheServer) {
    const auto res = connector.randrCurrentScreenResources();
    ASSERT_TRUE(res);
    EXPECT_EQ(xcb_randr_get_screen_resources_current_outputs_length(res.get()), 1);
    EXPECT_EQ(xcb_randr_get_screen_resources_current_crtcs_length(res.get()), 1);

    const auto sizes = connector.getScreenSizes();
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(sizes[0].width, 1920);
    EXPECT_EQ(sizes[0].height, 1080);
}

TEST_F(RandrTest, CvtModeCarriesTheCalculatorsTimingsUnderTheRequestedName) {
    const xcb_randr_mode_t id = connector.cvtCreateMode(1280, 720, 60);
    ASSERT_NE(id, 0U);
    const auto all = modes();
    ASSERT_EQ(all.count("1280x720_60"), 1U);
    const auto& mode = all.at("1280x720_60");
    // Modeline "1280x720_60.00"   74.50  1280 1344 1472 1664  720 723 728 748 -hsync +vsync
    EXPECT_EQ(mode.id, id);
    EXPECT_EQ(mode.dot_clock, 74500000U);
    EXPECT_EQ(mode.width, 1280);
    EXPECT_EQ(mode.hsync_start, 1344);
    EXPECT_EQ(mode.hsync_end, 1472);
    EXPECT_EQ(mode.htotal, 1664);
    EXPECT_EQ(mode.height, 720);
    EXPECT_EQ(mode.vsync_start, 723);
    EXPECT_EQ(mode.vsync_end, 728);
    EXPECT_EQ(mode.vtotal, 748);
    EXPECT_EQ(mode.mode_flags, 2U | 4U);
}

TEST_F(RandrTest, CvtModeOfAnExistingNameThrowsTheName) {
    connector.cvtCreateMode(1280, 720, 60);
    try {
        connector.cvtCreateMode(1280, 720, 50);
        ADD_FAILURE() << "the second mode of that name must be refused";
    } catch (const std::string& name) {
        EXPECT_EQ(name, "1280x720_60");
    }
    EXPECT_TRUE(connector.reports.empty()) << "the caller decides; not reported as an X error";
}

TEST_F(RandrTest, CvtRefreshOfZeroOrLessThrowsWithoutTheCalculator) {
    LogCapture log;
    for (const int refresh : {0, -5}) {
        try {
            connector.cvtCreateMode(1280, 720, refresh);
            ADD_FAILURE() << "refresh " << refresh << " must throw";
        } catch (const xcb_error& error) {
            EXPECT_STREQ(error.what(), "cvtCreateMode");
        }
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"cvtCreateMode: vertRef incorrect",
                                                     "cvtCreateMode: vertRef incorrect"}));
}

TEST_F(RandrTest, CvtLowersTheRefreshWhileThePixelClockIsOver300MHz) {
    LogCapture log;
    const xcb_randr_mode_t id = connector.cvtCreateMode(3840, 2160, 60);
    const auto lines = log.lines();

    std::vector<std::string> tried;
    for (const auto& line : lines) {
        if (line.rfind("cvtCreateMode: Modeline \"3840x2160_", 0) == 0) {
            tried.push_back(line.substr(35, line.find('"', 35) - 35));
        }
    }
    ASSERT_GE(tried.size(), 2U);
    EXPECT_EQ(tried[0], "60.00");
    EXPECT_EQ(tried[1], "55.00");

    const auto all = modes();
    ASSERT_EQ(all.count("3840x2160_60"), 1U) << "named for 60 whatever refresh it ended at";
    EXPECT_EQ(all.at("3840x2160_60").id, id);
    EXPECT_LE(all.at("3840x2160_60").dot_clock, 300000000U);
    EXPECT_GT(all.at("3840x2160_60").dot_clock, 0U);
}

TEST_F(RandrTest, ModeAddedThroughCvtDrivesTheCrtcAndBack) {
    const xcb_randr_mode_t initial = crtcInfo()->mode;
    const xcb_randr_mode_t mode = connector.randrOutputModeAdd(0, 1280, 720);
    ASSERT_NE(mode, 0U);
    EXPECT_TRUE(outputHas(mode));
    EXPECT_EQ(modes().at("1280x720_60").id, mode);

    ASSERT_TRUE(connector.randrCrtcConnectToOutputMode(0, 0, 0, 0, 1280, 720, mode, true));
    auto crtc = crtcInfo();
    EXPECT_EQ(crtc->mode, mode);
    EXPECT_EQ(crtc->width, 1280);
    EXPECT_EQ(crtc->height, 720);
    EXPECT_NE(xrandr().find("screen connected primary 1280x720+0+0"), std::string::npos) << xrandr();

    // Mode 0: found by size.
    ASSERT_TRUE(connector.randrCrtcConnectToOutputMode(0, 0, 0, 0, 1920, 1080, 0, false));
    crtc = crtcInfo();
    EXPECT_EQ(crtc->mode, initial);
    EXPECT_EQ(crtc->width, 1920);
    EXPECT_TRUE(connector.reports.empty());
}

TEST_F(RandrTest, ModeTheOutputListsIsReturnedWithoutAddingIt) {
    const xcb_randr_mode_t initial = crtcInfo()->mode;
    const auto before = outputModes();
    LogCapture log;
    EXPECT_EQ(connector.randrOutputModeAdd(0, 1920, 1080), initial);
    EXPECT_EQ(outputModes(), before);
    EXPECT_TRUE(contains(log.lines(), "randrOutputModeAdd: mode present, id: " + std::to_string(initial)));
}

TEST_F(RandrTest, ModeOfTheServerNotOnTheOutputIsAddedWithoutCvt) {
    const xcb_randr_mode_t created = connector.cvtCreateMode(1280, 720, 60);
    ASSERT_FALSE(outputHas(created));
    LogCapture log;
    EXPECT_EQ(connector.randrOutputModeAdd(0, 1280, 720), created);
    EXPECT_TRUE(outputHas(created));
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.find("cvtCreateMode"), std::string::npos) << line;
    }
}

TEST_F(RandrTest, ModeWhoseTimingsHaveAnotherWidthIsFoundAgainByName) {
    // cvt rounds 1366 up to 1368, so no mode of the requested size ever exists.
    const xcb_randr_mode_t first = connector.randrOutputModeAdd(0, 1366, 768);
    ASSERT_NE(first, 0U);
    EXPECT_EQ(modes().at("1366x768_60").width, 1368);

    LogCapture log;
    EXPECT_EQ(connector.randrOutputModeAdd(0, 1366, 768), first);
    const auto lines = log.lines();
    EXPECT_TRUE(
        contains(lines, "randrOutputModeAdd: also found mode: 1366x768_60, id: " + std::to_string(first)));
    EXPECT_TRUE(contains(lines, "cvtCreateMode: xcb_randr_create_mode failed"));
    const auto listed = outputModes();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), first), 1) << "no second AddOutputMode";
}

TEST_F(RandrTest, OutputIndexEqualToTheCountIsOutOfRange) {
    LogCapture log;
    EXPECT_EQ(connector.randrOutputModeAdd(1, 1280, 720), 0U);
    EXPECT_FALSE(connector.randrOutputModeDelete(1, 1280, 720));
    EXPECT_FALSE(connector.randrCrtcConnectToOutputMode(0, 1, 0, 0, 1920, 1080, 0, false));
    const auto lines = log.lines();
    EXPECT_TRUE(contains(lines, "randrOutputModeAdd: OUTPUT out of range"));
    EXPECT_TRUE(contains(lines, "randrOutputModeDelete: OUTPUT out of range"));
    EXPECT_TRUE(contains(lines, "randrCrtcConnectToOutputMode: OUTPUT out of range"));
    EXPECT_EQ(modes().count("1280x720_60"), 0U) << "nothing was created";
}

TEST_F(RandrTest, CrtcIndexOutOfRangeOrUnknownSizeLeavesTheCrtcAlone) {
    const xcb_randr_mode_t initial = crtcInfo()->mode;
    LogCapture log;
    EXPECT_FALSE(connector.randrCrtcConnectToOutputMode(1, 0, 0, 0, 1920, 1080, 0, false));
    EXPECT_FALSE(connector.randrCrtcConnectToOutputMode(0, 0, 0, 0, 1234, 567, 0, false));
    EXPECT_FALSE(connector.randrCrtcDisconnect(1));
    const auto lines = log.lines();
    EXPECT_TRUE(contains(lines, "randrCrtcConnectToOutputMode: CRTC out of range"));
    EXPECT_TRUE(contains(lines, "randrCrtcConnectToOutputMode: MODE not found, [1234, 567]"));
    EXPECT_TRUE(contains(lines, "randrCrtcDisconnect: CRTC out of range"));
    EXPECT_EQ(crtcInfo()->mode, initial);
}

TEST_F(RandrTest, CrtcWithAModeTheOutputLacksIsAnXError) {
    const xcb_randr_mode_t created = connector.cvtCreateMode(1280, 720, 60);
    EXPECT_FALSE(connector.randrCrtcConnectToOutputMode(0, 0, 0, 0, 1280, 720, created, false));
    ASSERT_EQ(connector.reports.size(), 1U);
    EXPECT_EQ(connector.reports[0].caller, "randrCrtcConnectToOutputMode");
    EXPECT_EQ(connector.reports[0].request, "xcb_randr_set_crtc_config");
    EXPECT_TRUE(connector.reports[0].withError);
}

TEST_F(RandrTest, DeleteRemovesAModeOfThatSizeFromTheOutput) {
    const xcb_randr_mode_t mode = connector.randrOutputModeAdd(0, 1280, 720);
    ASSERT_TRUE(outputHas(mode));
    LogCapture log;
    EXPECT_TRUE(connector.randrOutputModeDelete(0, 1280, 720));
    EXPECT_FALSE(outputHas(mode));
    EXPECT_TRUE(contains(log.lines(), "randrOutputModeDelete: mode present"));

    EXPECT_TRUE(connector.randrOutputModeDelete(0, 1280, 720)) << "absent is no failure";
    EXPECT_TRUE(connector.reports.empty());
}

TEST_F(RandrTest, DeleteOfTheModeInUseIsRefusedByTheServerButStillTrue) {
    const xcb_randr_mode_t inUse = crtcInfo()->mode;
    EXPECT_TRUE(connector.randrOutputModeDelete(0, 1920, 1080));
    EXPECT_TRUE(outputHas(inUse));
    ASSERT_EQ(connector.reports.size(), 1U);
    EXPECT_EQ(connector.reports[0].request, "xcb_randr_delete_output_mode");
}

TEST_F(RandrTest, DisconnectedCrtcShowsNoModeUntilConnectedAgain) {
    ASSERT_TRUE(connector.randrCrtcDisconnect(0));
    EXPECT_EQ(crtcInfo()->mode, 0U);
    EXPECT_EQ(crtcInfo()->width, 0);
    ASSERT_TRUE(connector.randrCrtcConnectToOutputMode(0, 0, 0, 0, 1920, 1080, 0, false));
    EXPECT_EQ(crtcInfo()->width, 1920);
}

TEST_F(RandrTest, ScreenSizeIsAlignedToEightWithMillimetresFromTheDpi) {
    ASSERT_TRUE(connector.randrCrtcDisconnect(0));
    LogCapture log;
    ASSERT_TRUE(connector.randrSetScreenSize(1366, 768, 96));
    auto screen = freshScreen();
    EXPECT_EQ(screen.width_in_pixels, 1368);
    EXPECT_EQ(screen.height_in_pixels, 768);
    EXPECT_EQ(screen.width_in_millimeters, 361);
    EXPECT_EQ(screen.height_in_millimeters, 203);
    EXPECT_TRUE(contains(log.lines(), "randrSetScreenSize: mode: [1368, 768], dpi: 96"));
    EXPECT_NE(xrandr().find("current 1368 x 768"), std::string::npos);

    ASSERT_TRUE(connector.randrSetScreenSize(1920, 1080, 96));
    screen = freshScreen();
    EXPECT_EQ(screen.width_in_pixels, 1920);
    EXPECT_EQ(screen.width_in_millimeters, 508);
    EXPECT_EQ(screen.height_in_millimeters, 285);
}

TEST_F(RandrTest, ScreenSizeWithDpiZeroUses96AndWarns) {
    LogCapture log;
    ASSERT_TRUE(connector.randrSetScreenSize(1920, 1080, 0));
    const auto screen = freshScreen();
    EXPECT_EQ(screen.width_in_millimeters, 508);
    EXPECT_EQ(screen.height_in_millimeters, 285);
    EXPECT_TRUE(contains(log.lines(), "randrSetScreenSize: dpi 0, millimetres for: 96"));
}

TEST_F(RandrTest, ScreenSmallerThanTheCrtcIsRefused) {
    EXPECT_FALSE(connector.randrSetScreenSize(1280, 720, 96));
    ASSERT_EQ(connector.reports.size(), 1U);
    EXPECT_EQ(connector.reports[0].caller, "randrSetScreenSize");
    EXPECT_EQ(connector.reports[0].request, "xcb_randr_set_screen_size_checked");
    EXPECT_EQ(freshScreen().width_in_pixels, 1920);
}

}  // namespace
