// Window geometry read and changed: reads give a fixed "no geometry" value for
// windows that are gone, setters wait for the server so that the caller learns
// whether the change was taken.
#include <utility>
#include <vector>

#include "logger.h"
#include "xcb/xcb.h"

namespace Velk::Xcb {

namespace {

constexpr Rect noGeometry{-1, -1, 0, 0};
constexpr uint16_t positionMask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
constexpr uint16_t sizeMask = XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;

}  // namespace

PendingGeometry Connector::requestGeometry(xcb_window_t win) const {
    return pending(xcb_get_geometry(conn.get(), win));
}

Rect Connector::collectGeometry(PendingGeometry read) {
    const auto [geometry, error] = read.reply(xcb_get_geometry_reply);
    return geometry ? Rect{geometry->x, geometry->y, geometry->width, geometry->height} : noGeometry;
}

Rect Connector::getWindowGeometry(xcb_window_t win, bool translate) const {
    const Rect own = collectGeometry(requestGeometry(win));
    if (!translate || own.width == 0) {
        return own;
    }

    // The window's own position is translated as a point inside the window.
    const auto cookie = xcb_translate_coordinates(conn.get(), win, windowRoot(), own.x, own.y);
    const auto [translated, translateError] = getReply1(xcb_translate_coordinates_reply, conn.get(), cookie);
    if (!translated) {
        return own;
    }
    return Rect{translated->dst_x, translated->dst_y, own.width, own.height};
}

Size Connector::getWindowSize(xcb_window_t win) const {
    const Rect geometry = collectGeometry(requestGeometry(win));
    return {geometry.width, geometry.height};
}

Connector::PendingConfigure Connector::requestConfigure(xcb_window_t win, uint16_t mask, int32_t x, int32_t y,
                                                        uint32_t width, uint32_t height) const {
    // One value per mask bit, in bit order.
    std::vector<uint32_t> values;
    if (mask & positionMask) {
        values.insert(values.end(), {static_cast<uint32_t>(x), static_cast<uint32_t>(y)});
    }
    if (mask & sizeMask) {
        values.insert(values.end(), {width, height});
    }
    return {pending(xcb_configure_window_checked(conn.get(), win, mask, values.data())),
            win,
            mask,
            x,
            y,
            width,
            height};
}

bool Connector::confirmConfigure(PendingConfigure change, std::string_view caller) const {
    if (!confirm(std::move(change.request), caller, "xcb_configure_window")) {
        return false;
    }
    // Callers pass literals, so the view ends in a NUL.
    if (change.mask == positionMask) {
        Syslog::debug("%s: window id: 0x%08x, pos: %d, %d", caller.data(), change.win, change.x, change.y);
    } else if (change.mask == sizeMask) {
        Syslog::debug("%s: window id: 0x%08x, resize to: %ux%u", caller.data(), change.win, change.width,
                      change.height);
    } else {
        Syslog::debug("%s: window id: 0x%08x, resize to: %ux%u, pos: %d, %d", caller.data(), change.win,
                      change.width, change.height, change.x, change.y);
    }
    return true;
}

bool Connector::setWindowPosition(xcb_window_t win, int32_t x, int32_t y) const {
    return confirmConfigure(requestConfigure(win, positionMask, x, y, 0, 0), "setWindowPosition");
}

bool Connector::setWindowSize(xcb_window_t win, uint32_t width, uint32_t height) const {
    return confirmConfigure(requestConfigure(win, sizeMask, 0, 0, width, height), "setWindowSize");
}

bool Connector::setWindowGeometry(xcb_window_t win, int32_t x, int32_t y, uint32_t width,
                                  uint32_t height) const {
    return confirmConfigure(requestConfigure(win, positionMask | sizeMask, x, y, width, height),
                            "setWindowGeometry");
}

}  // namespace Velk::Xcb
