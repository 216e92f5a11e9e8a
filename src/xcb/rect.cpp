// Point and overlap tests of window rectangles, with the far edges summed in
// 32 bits so that a rectangle reaching past the 16-bit range does not wrap.
#include <algorithm>

#include "xcb/xcb.h"

namespace Velk::Xcb {

namespace {

int32_t right(const Rect& rect) {
    return int32_t{rect.x} + int32_t{rect.width};
}

int32_t bottom(const Rect& rect) {
    return int32_t{rect.y} + int32_t{rect.height};
}

bool empty(const Rect& rect) {
    return rect.width == 0 || rect.height == 0;
}

}  // namespace

bool Rect::include(const Rect& rect, int16_t px, int16_t py) {
    if (empty(rect)) {
        return false;
    }
    return rect.x <= px && px < right(rect) && rect.y <= py && py < bottom(rect);
}

bool Rect::intersects(const Rect& first, const Rect& second) {
    if (empty(first) || empty(second)) {
        return false;
    }
    return std::max(first.x, second.x) < std::min(right(first), right(second)) &&
           std::max(first.y, second.y) < std::min(bottom(first), bottom(second));
}

}  // namespace Velk::Xcb
