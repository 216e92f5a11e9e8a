// An embedded picture kept on the server, so that a frame's redraw copies it
// instead of sending it again pixel by pixel: its colours in a pixmap of the
// root's depth, its non-black pixels in a 1-bit mask, and a graphics context
// that clips to that mask (black stays transparent) with graphics exposures
// off.  A draw is then one CopyArea, after a clip-origin change when the
// picture goes elsewhere than last time.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "velk_kiosk/gimp_image.h"
#include "xcb/xcb.h"

namespace Velk {

// A pixel of the picture as 0xRRGGBB; 0 (black) is transparent, and so is
// every pixel of a picture with an unknown number of bytes per pixel.
uint32_t gimpPixelColour(const uint8_t* pixel, uint32_t bytesPerPixel);

// The picture's pixels as a ZPixmap image of the given pixel format, the
// colour being the pixel value (TrueColor 8-8-8); rows padded to scanlinePad
// bits, multi-byte pixels in the server's image byte order.  Empty for a
// format of other than 8, 16, 24 or 32 bits per pixel.
std::vector<uint8_t> zPixmapImage(const gimp_image_t& image, const uint8_t* pixels, uint8_t bitsPerPixel,
                                  uint8_t scanlinePad, bool msbFirst);

// The positions of the picture's non-black pixels, row by row.
std::vector<xcb_point_t> visiblePixels(const gimp_image_t& image, const uint8_t* pixels);

class ImageStamp {
public:
    // Sends, unchecked like the drawing, the requests that make the stamp;
    // the picture must not be empty.
    ImageStamp(xcb_connection_t* connection, const xcb_screen_t& screen, const xcb_format_t& format,
               const gimp_image_t& picture, const uint8_t* pixels);
    // Frees the graphics context and both pixmaps; the owner flushes.
    ~ImageStamp();
    ImageStamp(const ImageStamp&) = delete;
    ImageStamp& operator=(const ImageStamp&) = delete;

    // The picture's non-black pixels onto the drawable with their top-left
    // corner at (x, y).
    void draw(xcb_drawable_t target, int16_t x, int16_t y) const;

private:
    void fillMask(const std::vector<xcb_point_t>& points) const;
    void putColours(const std::vector<uint8_t>& data, uint8_t depth) const;

    xcb_connection_t* conn;
    uint16_t width;
    uint16_t height;
    xcb_pixmap_t colours;
    xcb_pixmap_t mask;
    xcb_gcontext_t gc;
    // Longest request the connection takes, in bytes.
    size_t maxRequest;
    // Where the graphics context's clip mask lies now: a logo drawn at the
    // same place again needs no change of it.
    mutable std::optional<std::pair<int16_t, int16_t>> clipOrigin;
};

}  // namespace Velk
