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

bool holdAt(ConfigureValues& values, const Xcb::Rect& held) {
    const Xcb::Rect& place = values.place;
    if (place.x == held.x && place.y == held.y && place.width == held.width && place.height == held.height) {
        return false;
    }
    placeInside(values, held);
    return true;
}

void placeInside(ConfigureValues& values, const Xcb::Rect& inside) {
    values.mask |= positionMask | sizeMask;
    values.place = inside;
}

FramedConfigure splitForFrame(const ConfigureValues& request, const FrameMetrics& metrics,
                              const Xcb::Size& root, const std::optional<Xcb::Rect>& held, bool keepSize) {
    const int sideways = 2 * metrics.borderWidth;
    const int upright = metrics.titleHeight + metrics.borderWidth;
    FramedConfigure split;
    split.frame.mask = static_cast<uint16_t>(request.mask & (positionMask | sizeMask));
    split.frame.place = {request.place.x, request.place.y,
                         static_cast<uint16_t>(request.place.width + sideways),
                         static_cast<uint16_t>(request.place.height + upright)};
    if (held) {
        placeInside(split.frame, *held);
        split.client.mask = positionMask | sizeMask;
        split.client.place = clientInside({held->width, held->height}, metrics);
        return split;
    }
    if (!keepSize) {
        clampToRoot(split.frame, root);
    }
    split.client.mask = split.frame.mask & sizeMask;
    split.client.place = clientInside({split.frame.place.width, split.frame.place.height}, metrics);
    return split;
}

}  // namespace Velk
