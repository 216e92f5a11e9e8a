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
    values.x = event.x;
    values.y = event.y;
    values.width = event.width;
    values.height = event.height;
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
        {XCB_CONFIG_WINDOW_X, static_cast<uint32_t>(values.x)},
        {XCB_CONFIG_WINDOW_Y, static_cast<uint32_t>(values.y)},
        {XCB_CONFIG_WINDOW_WIDTH, values.width},
        {XCB_CONFIG_WINDOW_HEIGHT, values.height},
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
    if ((values.mask & XCB_CONFIG_WINDOW_WIDTH) && values.width > root.width) {
        values.mask |= XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_WIDTH;
        values.x = 0;
        values.width = root.width;
    }
    if ((values.mask & XCB_CONFIG_WINDOW_HEIGHT) && values.height > root.height) {
        values.mask |= XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_HEIGHT;
        values.y = 0;
        values.height = root.height;
    }
}

bool holdFullscreen(ConfigureValues& values, const Xcb::Size& root) {
    if (values.x == 0 && values.y == 0 && values.width == root.width && values.height == root.height) {
        return false;
    }
    placeInside(values, {0, 0, root.width, root.height});
    return true;
}

void placeInside(ConfigureValues& values, const Xcb::Rect& inside) {
    values.mask |= positionMask | sizeMask;
    values.x = inside.x;
    values.y = inside.y;
    values.width = inside.width;
    values.height = inside.height;
}

void keepInsideFrame(ConfigureValues& values, uint16_t frameBorderWidth) {
    values.mask &= ~positionMask;
    if (frameBorderWidth != 0) {
        values.width -= 2 * frameBorderWidth;
        values.height -= 2 * frameBorderWidth;
    }
}

}  // namespace Velk
