// The title bar pixel for pixel: every pixel of the logo and the close button
// on the screen is the embedded picture's colour, or the frame colour where
// the picture is black, and the rest of the bar is the frame colour; also
// after the bar was covered and uncovered, and on a second frame.
#include <sstream>

#include "kiosk_expect.h"
#include "kiosk_harness.h"
#include "velk_kiosk/gimp_image.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

constexpr uint32_t frameColour = 0x021D47;
constexpr int titleHeight = 18;

// What the title bar of the given width must show, row by row.
class ExpectedBar {
public:
    explicit ExpectedBar(int barWidth)
        : width(barWidth), pixels(size_t(barWidth) * titleHeight, frameColour) {}

    // The picture's RGB pixels at (x, y); black ones leave the frame colour.
    void place(const Velk::gimp_image_t& image, const uint8_t* data, int x, int y) {
        ASSERT_EQ(image.bytes_per_pixel, 3U);
        for (uint32_t row = 0; row < image.height; ++row) {
            for (uint32_t column = 0; column < image.width; ++column) {
                const uint8_t* p = data + (size_t{row} * image.width + column) * 3;
                const uint32_t colour = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
                if (colour != 0) {
                    at(x + static_cast<int>(column), y + static_cast<int>(row)) = colour;
                }
            }
        }
    }

    // Empty when the screenshot shows exactly this; else the first mismatches.
    std::string differences(const Screenshot& shot) const {
        std::ostringstream out;
        int count = 0;
        for (int y = 0; y < titleHeight; ++y) {
            for (int x = 0; x < width; ++x) {
                const uint32_t seen = shot.pixel(x, y);
                if (seen != pixels[size_t(y) * width + x] && count++ < 5) {
                    out << "(" << x << "," << y << ") is " << hex8(seen) << ", expected "
                        << hex8(pixels[size_t(y) * width + x]) << "; ";
                }
            }
        }
        if (count > 0) {
            out << count << " pixels differ";
        }
        return out.str();
    }

private:
    uint32_t& at(int x, int y) { return pixels.at(size_t(y) * width + x); }

    int width;
    std::vector<uint32_t> pixels;
};

ExpectedBar windowedBar(int frameWidth) {
    ExpectedBar bar(frameWidth);
    bar.place(Velk::window_logo, Velk::window_logo.pixel_data, 1, 1);
    // At the frame's right edge, one pixel in.
    bar.place(Velk::close_icon, Velk::close_icon.pixel_data,
              frameWidth - 1 - static_cast<int>(Velk::close_icon.width), 1);
    return bar;
}

// Waits (bounded) until the bar at (x, y) on the screen is exactly the
// expected one; the last differences otherwise.
std::string barSettles(const std::string& display, const ExpectedBar& bar, int x, int y, int width) {
    std::string last;
    waitUntil(
        [&] {
            last = bar.differences(screenshot(display, {x, y, width, titleHeight}));
            return last.empty();
        },
        10s);
    return last;
}

TEST_F(KioskTest, WindowTitleBarShowsLogoAndCloseButtonExactly) {
    startKiosk(std::nullopt);
    const xcb_window_t win = mapWindow(WindowSpec{});
    expectWindowed(client, win);
    EXPECT_EQ(barSettles(server.displayName(), windowedBar(646), 100, 100, 646), "");
}

TEST_F(KioskTest, FullScreenTitleBarShowsTheWideLogoExactlyAndNoCloseButton) {
    startKiosk(R"([{"wm:class": "velk-test", "fullscreen": true}])");
    const xcb_window_t win = mapWindow(WindowSpec{});
    expectFullscreen(client, win);
    ExpectedBar bar(1920);
    bar.place(Velk::fullscreen_logo, Velk::fullscreen_logo.pixel_data, 1, 1);
    EXPECT_EQ(barSettles(server.displayName(), bar, 0, 0, 1920), "");
}

TEST_F(KioskTest, TitleBarIsDrawnAgainExactlyAfterBeingCoveredAndOnASecondFrame) {
    startKiosk(std::nullopt);
    const xcb_window_t first = mapWindow(WindowSpec{});
    expectWindowed(client, first);
    const ExpectedBar bar = windowedBar(646);
    ASSERT_EQ(barSettles(server.displayName(), bar, 100, 100, 646), "");

    // A white window over the whole bar, then gone: the server asks the
    // kiosk to draw the bar again.
    WindowSpec cover;
    cover.x = 90;
    cover.y = 90;
    cover.width = 700;
    cover.height = 40;
    cover.overrideRedirect = true;
    const xcb_window_t sheet = mapWindow(cover, false);
    ASSERT_TRUE(waitUntil(
        [&] {
            return screenshot(server.displayName(), {100, 100, 646, titleHeight}).pixel(300, 9) == 0xFFFFFF;
        },
        10s));
    client.destroy(sheet);
    EXPECT_EQ(barSettles(server.displayName(), bar, 100, 100, 646), "");

    WindowSpec second;
    second.x = 900;
    second.y = 300;
    const xcb_window_t other = mapWindow(second);
    EXPECT_TRUE(settlesAt(client, client.frameOf(other), {900, 300, 646, 501}));
    EXPECT_EQ(barSettles(server.displayName(), bar, 900, 300, 646), "");
}

}  // namespace
