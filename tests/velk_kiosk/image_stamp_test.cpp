// The picture data a stamp sends: pixel colours in the GIMP layouts, the
// ZPixmap rows of the common pixel formats with their padding and byte
// order, and the positions of the non-black pixels that make the mask.
#include <gtest/gtest.h>

#include "velk_kiosk/image_stamp.h"

namespace {

using Velk::gimp_image_t;

TEST(GimpPixelColour, ReadsEachLayoutAndGivesZeroForAnUnknownOne) {
    const uint8_t rgb[] = {0x12, 0x34, 0x56};
    EXPECT_EQ(Velk::gimpPixelColour(rgb, 3), 0x123456U);
    // 5-6-5, little-endian: full red, half green, no blue.
    const uint8_t word[] = {0x00, 0xF8 | 0x04};
    EXPECT_EQ(Velk::gimpPixelColour(word, 2), (255U << 16) | ((32U * 255 / 63) << 8));
    const uint8_t rgba[] = {0xAA, 0x56, 0x34, 0x12};
    EXPECT_EQ(Velk::gimpPixelColour(rgba, 4), 0x123456U);
    EXPECT_EQ(Velk::gimpPixelColour(rgb, 1), 0U);
}

// Two pixels on one row and one black pixel below: 2x2, 3 bytes per pixel.
struct TinyPicture {
    gimp_image_t header{2, 2, 3};
    uint8_t pixels[13] = {0x01, 0x02, 0x03, 0xA0, 0xB0, 0xC0, 0, 0, 0, 0x00, 0x00, 0x07, 0};
};

TEST(ZPixmapImage, ThirtyTwoBitPixelsInEitherByteOrder) {
    const TinyPicture picture;
    const std::vector<uint8_t> little = Velk::zPixmapImage(picture.header, picture.pixels, 32, 32, false);
    const std::vector<uint8_t> expectedLittle = {0x03, 0x02, 0x01, 0, 0xC0, 0xB0, 0xA0, 0,
                                                 0,    0,    0,    0, 0x07, 0,    0,    0};
    EXPECT_EQ(little, expectedLittle);
    const std::vector<uint8_t> big = Velk::zPixmapImage(picture.header, picture.pixels, 32, 32, true);
    const std::vector<uint8_t> expectedBig = {0, 0x01, 0x02, 0x03, 0, 0xA0, 0xB0, 0xC0,
                                              0, 0,    0,    0,    0, 0,    0,    0x07};
    EXPECT_EQ(big, expectedBig);
}

TEST(ZPixmapImage, TwentyFourBitRowsArePaddedToTheScanlineUnit) {
    const TinyPicture picture;
    const std::vector<uint8_t> rows = Velk::zPixmapImage(picture.header, picture.pixels, 24, 32, false);
    // 6 bytes of pixels, padded to 8, per row.
    const std::vector<uint8_t> expected = {0x03, 0x02, 0x01, 0xC0, 0xB0, 0xA0, 0, 0,
                                           0,    0,    0,    0x07, 0,    0,    0, 0};
    EXPECT_EQ(rows, expected);
}

TEST(ZPixmapImage, SixteenBitPixelsKeepTheLowBytesOfTheColour) {
    const TinyPicture picture;
    const std::vector<uint8_t> rows = Velk::zPixmapImage(picture.header, picture.pixels, 16, 32, false);
    const std::vector<uint8_t> expected = {0x03, 0x02, 0xC0, 0xB0, 0, 0, 0x07, 0};
    EXPECT_EQ(rows, expected);
}

TEST(ZPixmapImage, FormatsBelowEightBitsAreNotWritten) {
    const TinyPicture picture;
    EXPECT_TRUE(Velk::zPixmapImage(picture.header, picture.pixels, 1, 32, false).empty());
    EXPECT_TRUE(Velk::zPixmapImage(picture.header, picture.pixels, 4, 32, false).empty());
}

TEST(VisiblePixels, AreTheNonBlackOnesRowByRow) {
    const TinyPicture picture;
    const std::vector<xcb_point_t> points = Velk::visiblePixels(picture.header, picture.pixels);
    ASSERT_EQ(points.size(), 3U);
    EXPECT_EQ(points[0].x, 0);
    EXPECT_EQ(points[0].y, 0);
    EXPECT_EQ(points[1].x, 1);
    EXPECT_EQ(points[1].y, 0);
    EXPECT_EQ(points[2].x, 1);
    EXPECT_EQ(points[2].y, 1);
}

TEST(VisiblePixels, EmbeddedCloseIconHasBlackCornersAndAColouredMiddle) {
    const std::vector<xcb_point_t> points =
        Velk::visiblePixels(Velk::close_icon, Velk::close_icon.pixel_data);
    const auto has = [&](int x, int y) {
        for (const auto& point : points) {
            if (point.x == x && point.y == y) {
                return true;
            }
        }
        return false;
    };
    EXPECT_FALSE(has(0, 0));
    EXPECT_TRUE(has(12, 8));
    EXPECT_LT(points.size(), size_t{24} * 16);
}

}  // namespace
