// Screen areas copied into a caller's buffer, compared byte for byte with the
// pixels a second client drew on the root window: one request, several
// requests, buffers too small, and the refusals.
#include <gtest/gtest.h>

#include <cstring>

#include "xcb_test_fixture.h"

namespace {

using namespace VelkTest;
using Velk::xcb_error;
using Velk::Xcb::Rect;

constexpr size_t bytesPerPixel = 4;

// A pattern in which every pixel of the screen differs from its neighbours;
// the fourth byte of a depth-24 pixel stays 0.
std::vector<uint8_t> pattern(uint16_t width, uint16_t height) {
    std::vector<uint8_t> pixels(size_t{width} * height * bytesPerPixel);
    for (size_t row = 0; row < height; ++row) {
        for (size_t column = 0; column < width; ++column) {
            uint8_t* pixel = pixels.data() + (row * width + column) * bytesPerPixel;
            pixel[0] = static_cast<uint8_t>(column);
            pixel[1] = static_cast<uint8_t>(row);
            pixel[2] = static_cast<uint8_t>((column >> 8) | ((row >> 8) << 4));
            pixel[3] = 0;
        }
    }
    return pixels;
}

class PixmapTest : public XcbTest {
protected:
    // Draws the pattern on the root window and returns it.
    std::vector<uint8_t> draw(const Rect& area) {
        auto pixels = pattern(area.width, area.height);
        client.putPixels(client.root(), area.x, area.y, area.width, area.height, pixels);
        return pixels;
    }

    uint32_t rowsPerRequest(uint16_t width) const {
        return xcb_get_maximum_request_length(client.connection()) / (width * bytesPerPixel);
    }
};

TEST_F(PixmapTest, RegionIsCopiedByteForByteWithTheVisualsMasks) {
    const Rect area{100, 50, 64, 32};
    const auto expected = draw(area);
    std::vector<uint8_t> buffer(expected.size() + 16, 0xEE);

    const auto info = connector.copyWindowPixmapTo(0x1234, area, buffer.data(), buffer.size());
    EXPECT_EQ(info.pixels, buffer.data());
    ASSERT_EQ(info.size, expected.size());
    EXPECT_EQ(std::memcmp(buffer.data(), expected.data(), expected.size()), 0);
    EXPECT_EQ(buffer[expected.size()], 0xEE) << "nothing written past the copied size";
    EXPECT_EQ(info.bitsPerPixel, 32);
    EXPECT_EQ(info.redMask, 0xFF0000U);
    EXPECT_EQ(info.greenMask, 0xFF00U);
    EXPECT_EQ(info.blueMask, 0xFFU);
}

TEST_F(PixmapTest, PartOfADrawnAreaIsTakenInRootCoordinates) {
    const Rect area{0, 0, 40, 40};
    const auto drawn = draw(area);
    const Rect part{10, 5, 1, 3};
    std::vector<uint8_t> buffer(size_t{part.width} * part.height * bytesPerPixel);
    const auto info = connector.copyWindowPixmapTo(0, part, buffer.data(), buffer.size());
    ASSERT_EQ(info.size, buffer.size());
    for (size_t row = 0; row < part.height; ++row) {
        const uint8_t* source = drawn.data() + ((part.y + row) * area.width + part.x) * bytesPerPixel;
        EXPECT_EQ(std::memcmp(buffer.data() + row * bytesPerPixel, source, bytesPerPixel), 0)
            << "row " << row;
    }
}

TEST_F(PixmapTest, RegionTallerThanOneRequestIsCopiedInPieces) {
    const Rect area{0, 0, 1920, 1080};
    ASSERT_LT(rowsPerRequest(area.width), area.height) << "the region must need several requests";
    const auto expected = draw(area);
    std::vector<uint8_t> buffer(expected.size());

    LogCapture log;
    const auto info = connector.copyWindowPixmapTo(0, area, buffer.data(), buffer.size());
    ASSERT_EQ(info.size, expected.size());
    EXPECT_TRUE(buffer == expected);
    const std::string maxLine = "copyWindowPixmapTo: max request: " +
                                std::to_string(xcb_get_maximum_request_length(client.connection()));
    EXPECT_TRUE(contains(log.lines(), maxLine));
}

TEST_F(PixmapTest, BufferOneByteTooSmallThrowsAfterTheRowsThatFit) {
    const Rect area{0, 0, 1920, 700};
    const uint32_t firstRows = rowsPerRequest(area.width);
    ASSERT_LT(firstRows, area.height);
    const auto expected = draw(area);
    std::vector<uint8_t> buffer(expected.size() - 1);

    LogCapture log;
    try {
        connector.copyWindowPixmapTo(0, area, buffer.data(), buffer.size());
        ADD_FAILURE() << "a buffer too small must throw";
    } catch (const xcb_error& error) {
        EXPECT_STREQ(error.what(), "copyWindowPixmapTo");
    }
    const size_t firstBytes = size_t{firstRows} * area.width * bytesPerPixel;
    EXPECT_EQ(std::memcmp(buffer.data(), expected.data(), firstBytes), 0) << "the first request was copied";
    const std::string line = "copyWindowPixmapTo: out of range, buf size: " + std::to_string(buffer.size()) +
                             ", data length: " + std::to_string(expected.size() - firstBytes);
    EXPECT_TRUE(contains(log.lines(), line)) << line;
}

TEST_F(PixmapTest, EmptyRegionOrBufferCopiesNothing) {
    std::vector<uint8_t> buffer(64);
    LogCapture log;
    const auto noWidth = connector.copyWindowPixmapTo(0, Rect{0, 0, 0, 4}, buffer.data(), buffer.size());
    const auto noHeight = connector.copyWindowPixmapTo(0, Rect{0, 0, 4, 0}, buffer.data(), buffer.size());
    const auto noBuffer = connector.copyWindowPixmapTo(0, Rect{0, 0, 4, 4}, nullptr, 64);
    const auto noSize = connector.copyWindowPixmapTo(0, Rect{0, 0, 4, 4}, buffer.data(), 0);
    for (const auto& info : {noWidth, noHeight, noBuffer, noSize}) {
        EXPECT_EQ(info.pixels, nullptr);
        EXPECT_EQ(info.size, 0U);
        EXPECT_EQ(info.bitsPerPixel, 0);
        EXPECT_EQ(info.redMask, 0U);
    }
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "copyWindowPixmapTo: empty size"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "copyWindowPixmapTo: empty buffer"), 2);
}

TEST_F(PixmapTest, RegionOutsideTheScreenIsAnXErrorThatThrows) {
    std::vector<uint8_t> buffer(size_t{100} * 10 * bytesPerPixel);
    EXPECT_THROW(connector.copyWindowPixmapTo(0, Rect{1900, 0, 100, 10}, buffer.data(), buffer.size()),
                 xcb_error);
    ASSERT_EQ(connector.reports.size(), 1U);
    EXPECT_EQ(connector.reports[0].caller, "copyWindowPixmapTo");
    EXPECT_EQ(connector.reports[0].request, "xcb_get_image");
    EXPECT_EQ(connector.reports[0].errorCode, XCB_MATCH);
}

TEST_F(PixmapTest, RegionBelowTheSixteenBitRangeIsRefused) {
    std::vector<uint8_t> buffer(size_t{4} * 10 * bytesPerPixel);
    LogCapture log;
    const auto info = connector.copyWindowPixmapTo(0, Rect{0, 32760, 4, 10}, buffer.data(), buffer.size());
    EXPECT_EQ(info.pixels, nullptr);
    EXPECT_EQ(info.size, 0U);
    EXPECT_TRUE(connector.reports.empty()) << "no request was sent";
    EXPECT_TRUE(contains(log.lines(), "copyWindowPixmapTo: region out of range, bottom: 32770"));
}

}  // namespace
