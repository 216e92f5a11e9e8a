// Window geometry read and changed: reads give a fixed "no geometry" value for
// windows that are gone, setters wait for the server so that the caller learns
// whether the change was taken.
#include "logger.h"
#include "xcb/xcb.h"

namespace Velk::Xcb {

namespace {

constexpr Rect noGeometry{-1, -1, 0, 0};

}  // namespace

Rect Connector::getWindowGeometry(xcb_window_t win, bool translate) const {
    const auto [geometry, geometryError] =
        getReply1(xcb_get_geometry_reply, conn.get(), xcb_get_geometry(conn.get(), win));
    if (!geometry) {
        return noGeometry;
    }
    const Rect own{geometry->x, geometry->y, geometry->width, geometry->height};
    if (!translate) {
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
    const auto [geometry, error] =
        getReply1(xcb_get_geometry_reply, conn.get(), xcb_get_geometry(conn.get(), win));
    return geometry ? Size{geometry->width, geometry->height} : Size{};
}

bool Connector::setWindowPosition(xcb_window_t win, int32_t x, int32_t y) const {
    const uint32_t values[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
    const uint16_t mask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
    if (!requestDone(xcb_configure_window_checked(conn.get(), win, mask, values), "setWindowPosition",
                     "xcb_configure_window")) {
        return false;
    }
    Syslog::debug("%s: window id: 0x%08x, pos: %d, %d", "setWindowPosition", win, x, y);
    return true;
}

bool Connector::setWindowSize(xcb_window_t win, uint32_t width, uint32_t height) const {
    const uint32_t values[] = {width, height};
    const uint16_t mask = XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;
    if (!requestDone(xcb_configure_window_checked(conn.get(), win, mask, values), "setWindowSize",
                     "xcb_configure_window")) {
        return false;
    }
    Syslog::debug("%s: window id: 0x%08x, resize to: %ux%u", "setWindowSize", win, width, height);
    return true;
}

bool Connector::setWindowGeometry(xcb_window_t win, int32_t x, int32_t y, uint32_t width,
                                  uint32_t height) const {
    const uint32_t values[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y), width, height};
    const uint16_t mask =
        XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;
    if (!requestDone(xcb_configure_window_checked(conn.get(), win, mask, values), "setWindowGeometry",
                     "xcb_configure_window")) {
        return false;
    }
    Syslog::debug("%s: window id: 0x%08x, resize to: %ux%u, pos: %d, %d", "setWindowGeometry", win, width,
                  height, x, y);
    return true;
}

}  // namespace Velk::Xcb
