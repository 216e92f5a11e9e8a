// Copies an area of the screen into a caller's buffer, split into as many
// GetImage requests as the server's maximum request length needs, each reply
// written straight after the previous one.
#include <algorithm>
#include <cstring>
#include <limits>

#include "logger.h"
#include "xcb/xcb.h"

namespace Velk::Xcb {

namespace {

constexpr uint32_t allPlanes = 0xFFFFFFFF;

// At least one row per request, even when one row is longer than the maximum.
uint16_t rowsPerRequest(uint32_t maxRequest, uint32_t bytesPerRow, uint16_t height) {
    const uint32_t rows = maxRequest / bytesPerRow;
    return static_cast<uint16_t>(std::clamp<uint32_t>(rows, 1, height));
}

}  // namespace

namespace {

// Whether the region can be copied into the buffer; says why not.
bool usableRegion(const Rect& region, const uint8_t* buffer, size_t bufferSize, uint32_t bytesPerRow,
                  uint8_t bitsPerPixel) {
    if (region.width == 0 || region.height == 0) {
        Syslog::error("%s: empty size", "copyWindowPixmapTo");
        return false;
    }
    if (!buffer || bufferSize == 0) {
        Syslog::error("%s: empty buffer", "copyWindowPixmapTo");
        return false;
    }
    if (bytesPerRow == 0) {
        Syslog::error("%s: unsupported bits per pixel: %u", "copyWindowPixmapTo", bitsPerPixel);
        return false;
    }
    // Row positions go out as 16-bit values.
    const int32_t end = int32_t{region.y} + region.height;
    if (end - 1 > std::numeric_limits<int16_t>::max()) {
        Syslog::error("%s: region out of range, bottom: %d", "copyWindowPixmapTo", end);
        return false;
    }
    return true;
}

// Appends one reply's rows to the copy; throws when they would not fit.
void appendRows(PixmapInfo& copy, const xcb_get_image_reply_t* image, size_t bufferSize) {
    const int length = xcb_get_image_data_length(image);
    if (bufferSize < copy.size + static_cast<uint64_t>(length)) {
        Syslog::error("%s: out of range, buf size: %d, data length: %d", "copyWindowPixmapTo",
                      static_cast<int>(bufferSize), length);
        throw xcb_error("copyWindowPixmapTo");
    }
    std::memcpy(copy.pixels + copy.size, xcb_get_image_data(image), static_cast<size_t>(length));
    copy.size += static_cast<uint64_t>(length);
}

// The copy's pixel layout, from the first reply of a screen copy.
void describePixels(const Connector& connector, PixmapInfo& copy, const xcb_get_image_reply_t* image,
                    uint8_t* buffer) {
    const xcb_visualtype_t* visual = connector.findVisual(image->visual);
    if (!visual) {
        Syslog::error("%s: %s failed, id: %d", "copyWindowPixmapTo", "visual",
                      static_cast<int>(image->visual));
        throw xcb_error("copyWindowPixmapTo");
    }
    copy.bitsPerPixel = connector.bppFromDepth(image->depth);
    copy.pixels = buffer;
    copy.redMask = visual->red_mask;
    copy.greenMask = visual->green_mask;
    copy.blueMask = visual->blue_mask;
}

}  // namespace

PixmapInfo Connector::copyWindowPixmapTo(xcb_window_t win, const Rect& region, uint8_t* buffer,
                                         size_t bufferSize) const {
    Syslog::debug("%s: winid: 0x%08x, region: [%d,%d,%d,%d]", "copyWindowPixmapTo", win, region.x, region.y,
                  region.width, region.height);
    PixmapInfo result;
    const uint32_t bytesPerRow = uint32_t{bitsPerPixel() / 8u} * region.width;
    if (!usableRegion(region, buffer, bufferSize, bytesPerRow, bitsPerPixel())) {
        return result;
    }
    const int32_t end = int32_t{region.y} + region.height;
    const uint32_t maxRequest = xcb_get_maximum_request_length(conn.get());
    const uint16_t step = rowsPerRequest(maxRequest, bytesPerRow, region.height);
    Syslog::debug("%s: max request: %d", "copyWindowPixmapTo", static_cast<int>(maxRequest));

    for (int32_t y = region.y; y < end; y += step) {
        const auto rows = static_cast<uint16_t>(std::min<int32_t>(step, end - y));
        const auto cookie = xcb_get_image(conn.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, windowRoot(), region.x,
                                          static_cast<int16_t>(y), region.width, rows, allPlanes);
        const auto [image, error] = getReply1(xcb_get_image_reply, conn.get(), cookie);
        if (error) {
            toSyslogError(error, "copyWindowPixmapTo", "xcb_get_image");
            throw xcb_error("copyWindowPixmapTo");
        }
        if (image) {
            if (!result.pixels) {
                describePixels(*this, result, image.get(), buffer);
            }
            appendRows(result, image.get(), bufferSize);
        }
    }
    return result;
}

}  // namespace Velk::Xcb
