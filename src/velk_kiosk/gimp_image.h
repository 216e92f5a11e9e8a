// Pictures compiled into the kiosk in the GIMP C-source layout: a header of
// width, height and bytes per pixel, then the pixels row by row from the top
// left and one NUL.  The frame's logo and close button are drawn from these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Velk {

struct gimp_image_t {
    uint32_t width;
    uint32_t height;
    // 2: RGB 5-6-5 little-endian, 3: R, G, B bytes, 4: a little-endian word
    // whose upper 24 bits are the colour.
    uint32_t bytes_per_pixel;
};

// One picture with its pixels; Bytes is width * height * bytes_per_pixel + 1.
template <size_t Bytes>
struct GimpImage : gimp_image_t {
    uint8_t pixel_data[Bytes];
};

// Title-bar logo of full-screen windows, 92x16.
extern const GimpImage<92 * 16 * 3 + 1> fullscreen_logo;
// Title-bar logo of other windows, 23x16.
extern const GimpImage<23 * 16 * 3 + 1> window_logo;
// Close button of windows that are not full screen, 24x16.
extern const GimpImage<24 * 16 * 3 + 1> close_icon;

}  // namespace Velk
