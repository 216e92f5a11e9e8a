// The pictures of the title bar as server-side stamps: made with a handful of
// requests the first time they are needed, then copied through their mask.
#include "velk_kiosk/image_stamp.h"

#include <algorithm>

namespace Velk {

namespace {

// Fixed parts of PutImage and PolyPoint, in bytes.
constexpr size_t putImageHeader = 24;
constexpr size_t polyPointHeader = 12;

size_t rowBytes(uint32_t width, uint8_t bitsPerPixel, uint8_t scanlinePad) {
    const size_t bits = size_t{width} * bitsPerPixel;
    const size_t pad = scanlinePad == 0 ? 8 : scanlinePad;
    return (bits + pad - 1) / pad * pad / 8;
}

// How many items of `itemBytes` fit in one request after its fixed part.
size_t itemsPerRequest(size_t maxRequest, size_t header, size_t itemBytes) {
    return std::max<size_t>(1, (maxRequest > header ? maxRequest - header : 0) / itemBytes);
}

const uint8_t* pixelAt(const gimp_image_t& image, const uint8_t* pixels, uint32_t row, uint32_t column) {
    return pixels + (size_t{row} * image.width + column) * image.bytes_per_pixel;
}

}  // namespace

uint32_t gimpPixelColour(const uint8_t* pixel, uint32_t bytesPerPixel) {
    switch (bytesPerPixel) {
        case 2: {
            const uint32_t word = pixel[0] | (pixel[1] << 8);
            const uint32_t red = (word >> 11) * 255 / 31;
            const uint32_t green = ((word >> 5) & 0x3F) * 255 / 63;
            const uint32_t blue = (word & 0x1F) * 255 / 31;
            return red << 16 | green << 8 | blue;
        }
        case 3:
            return uint32_t{pixel[0]} << 16 | uint32_t{pixel[1]} << 8 | pixel[2];
        case 4:
            return (pixel[0] | pixel[1] << 8 | pixel[2] << 16 | uint32_t{pixel[3]} << 24) >> 8;
        default:
            return 0;
    }
}

std::vector<uint8_t> zPixmapImage(const gimp_image_t& image, const uint8_t* pixels, uint8_t bitsPerPixel,
                                  uint8_t scanlinePad, bool msbFirst) {
    if (bitsPerPixel == 0 || bitsPerPixel % 8 != 0 || bitsPerPixel > 32) {
        return {};
    }
    const size_t pixelBytes = bitsPerPixel / 8;
    const size_t stride = rowBytes(image.width, bitsPerPixel, scanlinePad);
    std::vector<uint8_t> data(stride * image.height);
    for (uint32_t row = 0; row < image.height; ++row) {
        for (uint32_t column = 0; column < image.width; ++column) {
            const uint32_t value =
                gimpPixelColour(pixelAt(image, pixels, row, column), image.bytes_per_pixel);
            uint8_t* out = data.data() + row * stride + column * pixelBytes;
            for (size_t byte = 0; byte < pixelBytes; ++byte) {
                const size_t shift = 8 * (msbFirst ? pixelBytes - 1 - byte : byte);
                out[byte] = static_cast<uint8_t>(value >> shift);
            }
        }
    }
    return data;
}

std::vector<xcb_point_t> visiblePixels(const gimp_image_t& image, const uint8_t* pixels) {
    std::vector<xcb_point_t> points;
    for (uint32_t row = 0; row < image.height; ++row) {
        for (uint32_t column = 0; column < image.width; ++column) {
            if (gimpPixelColour(pixelAt(image, pixels, row, column), image.bytes_per_pixel) != 0) {
                points.push_back({static_cast<int16_t>(column), static_cast<int16_t>(row)});
            }
        }
    }
    return points;
}

ImageStamp::ImageStamp(xcb_connection_t* connection, const xcb_screen_t& screen, const xcb_format_t& format,
                       const gimp_image_t& picture, const uint8_t* pixels)
    : conn(connection),
      width(static_cast<uint16_t>(picture.width)),
      height(static_cast<uint16_t>(picture.height)),
      colours(xcb_generate_id(connection)),
      mask(xcb_generate_id(connection)),
      gc(xcb_generate_id(connection)),
      maxRequest(size_t{xcb_get_maximum_request_length(connection)} * 4) {
    const bool msbFirst = xcb_get_setup(conn)->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    const std::vector<uint8_t> image =
        zPixmapImage(picture, pixels, format.bits_per_pixel, format.scanline_pad, msbFirst);
    // A pixel format the stamp cannot write shows nothing rather than garbage.
    xcb_create_pixmap(conn, 1, mask, screen.root, width, height);
    fillMask(image.empty() ? std::vector<xcb_point_t>() : visiblePixels(picture, pixels));

    // The mask clips the colours' own upload too, which leaves out only
    // pixels that are never shown.
    xcb_create_pixmap(conn, screen.root_depth, colours, screen.root, width, height);
    const uint32_t gcValues[] = {0, mask};
    xcb_create_gc(conn, gc, screen.root, XCB_GC_GRAPHICS_EXPOSURES | XCB_GC_CLIP_MASK, gcValues);
    putColours(image, format.depth);
}

ImageStamp::~ImageStamp() {
    xcb_free_gc(conn, gc);
    xcb_free_pixmap(conn, mask);
    xcb_free_pixmap(conn, colours);
}

// Cleared, then set where the picture is not black.
void ImageStamp::fillMask(const std::vector<xcb_point_t>& points) const {
    const xcb_gcontext_t maskGc = xcb_generate_id(conn);
    const uint32_t clear[] = {0};
    xcb_create_gc(conn, maskGc, mask, XCB_GC_FOREGROUND, clear);
    const xcb_rectangle_t whole{0, 0, width, height};
    xcb_poly_fill_rectangle(conn, mask, maskGc, 1, &whole);

    const uint32_t set[] = {1};
    xcb_change_gc(conn, maskGc, XCB_GC_FOREGROUND, set);
    const size_t chunk = itemsPerRequest(maxRequest, polyPointHeader, sizeof(xcb_point_t));
    for (size_t first = 0; first < points.size(); first += chunk) {
        const size_t count = std::min(chunk, points.size() - first);
        xcb_poly_point(conn, XCB_COORD_MODE_ORIGIN, mask, maskGc, static_cast<uint32_t>(count),
                       points.data() + first);
    }
    xcb_free_gc(conn, maskGc);
}

// In bands of whole rows, each as long as one request may be.
void ImageStamp::putColours(const std::vector<uint8_t>& data, uint8_t depth) const {
    if (data.empty()) {
        return;
    }
    const size_t stride = data.size() / height;
    const size_t band = itemsPerRequest(maxRequest, putImageHeader, stride);
    for (size_t top = 0; top < height; top += band) {
        const size_t rows = std::min<size_t>(band, height - top);
        xcb_put_image(conn, XCB_IMAGE_FORMAT_Z_PIXMAP, colours, gc, width, static_cast<uint16_t>(rows), 0,
                      static_cast<int16_t>(top), 0, depth, static_cast<uint32_t>(rows * stride),
                      data.data() + top * stride);
    }
}

void ImageStamp::draw(xcb_drawable_t target, int16_t x, int16_t y) const {
    if (clipOrigin != std::pair(x, y)) {
        const uint32_t origin[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
        xcb_change_gc(conn, gc, XCB_GC_CLIP_ORIGIN_X | XCB_GC_CLIP_ORIGIN_Y, origin);
        clipOrigin = std::pair(x, y);
    }
    xcb_copy_area(conn, colours, target, gc, 0, 0, x, y, width, height);
}

}  // namespace Velk
