// The arithmetic of a client's configure request; see configure_values.h.
#include "velk_kiosk/configure_values.h"

#include <utility>

namespace Velk {

namespace {

constexpr uint16_t positionMask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
constexpr uint16_t sizeMask = XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;

}  // namespace

ConfigureValues fromRequest(const xcb_configure_request_event_t& event) {
    ConfigureValues values;
    values.mask = event.value_mask;
    values.place = {event.x, event.y, event.width, event.height};
    if (event.value_mask & XCB_CONFIG_WINDOW_BORDER_WIDTH) {
        values.borderWidth = event.border_width;
    }
    if (event.value_mask & XCB_CONFIG_WINDOW_SIBLING) {
        values.sibling = event.sibling;
    }
    if (event.value_mask & XCB_CONFIG_WINDOW_STACK_MODE) {
        values.stackMode = event.stack_mode;
    }
    return values;
}

std::vector<uint32_t> packValues(const ConfigureValues& values) {
    const std::pair<uint16_t, uint32_t> fields[] = {
        {XCB_CONFIG_WINDOW_X, static_cast<uint32_t>(int32_t{values.place.x})},
        {XCB_CONFIG_WINDOW_Y, static_cast<uint32_t>(int32_t{values.place.y})},
        {XCB_CONFIG_WINDOW_WIDTH, values.place.width},
        {XCB_CONFIG_WINDOW_HEIGHT, values.place.height},
        {XCB_CONFIG_WINDOW_BORDER_WIDTH, values.borderWidth},
        {XCB_CONFIG_WINDOW_SIBLING, values.sibling},
        {XCB_CONFIG_WINDOW_STACK_MODE, values.stackMode},
    };
    std::vector<uint32_t> packed;
    for (const auto& [bit, value] : fields) {
        if (values.mask & bit) {
            packed.push_back(value);
        }
    }
    return packed;
}

void clampToRoot(ConfigureValues& values, const Xcb::Size& root) {
    if ((values.mask & XCB_CONFIG_WINDOW_WIDTH) && values.place.width > root.width) {
        values.mask |= XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_WIDTH;
        values.place.x = 0;
        values.place.width = root.width;
    }
    if ((values.mask & XCB_CONFIG_WINDOW_HEIGHT) && values.place.height > root.height) {
        values.mask |= XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_HEIGHT;
        values.place.y = 0;
        values.place.height = root.height;
    }
}

bool holdFullscreen(ConfigureValues& values, const Xcb::Size& root) {
    const Xcb::Rect& place = values.place;
    if (place.x == 0 && place.y == 0 && place.width == root.width && place.height == root.height) {
        return false;
    }
    placeInside(values, {0, 0, root.width, root.height});
    return true;
}

void placeInside(ConfigureValues& values, const Xcb::Rect& inside) {
    values.mask |= positionMask | sizeMask;
    values.place = inside;
}

void keepInsideFrame(ConfigureValues& values, uint16_t frameBorderWidth) {
    values.mask &= ~positionMask;
    if (frameBorderWidth != 0) {
        values.place.width = static_cast<uint16_t>(values.place.width - 2 * frameBorderWidth);
        values.place.height = static_cast<uint16_t>(values.place.height - 2 * frameBorderWidth);
    }
}

}  // namespace Velk
