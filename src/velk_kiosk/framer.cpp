// The frame window around a client: its creation, in as few round trips as
// its failure handling allows, its taking down, and the drawing of the
// title-bar logo and the close button from stamps kept on the server.
// Everything else in a frame is the background colour that the server paints.
#include "velk_kiosk/framer.h"

#include <xcb/xfixes.h>

#include <string_view>
#include <utility>
#include <vector>

#include "integrity/platform_integrity.h"
#include "logger.h"

namespace Velk {

namespace {

constexpr uint32_t frameColour = 0x021D47;
constexpr uint32_t frameEventMask = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                    XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW |
                                    XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_EXPOSURE |
                                    XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
constexpr uint32_t frameAttributeMask =
    XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_SAVE_UNDER | XCB_CW_EVENT_MASK | XCB_CW_CURSOR;
constexpr std::string_view frameName = "KIOSK_FRAME";
constexpr uint16_t clientPlaceMask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                     XCB_CONFIG_WINDOW_HEIGHT | XCB_CONFIG_WINDOW_BORDER_WIDTH;

static_assert(frameEventMask == 0x18807C, "frame event mask");
static_assert(frameAttributeMask == 0x4C0A, "frame attribute mask");

}  // namespace

Framer::Framer(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms, WindowList& records,
               const ClientProtocols& clientProtocols)
    : connector(xConnector), atoms(kioskAtoms), windows(records), protocols(clientProtocols) {
    xcb_cursor_context_t* context = nullptr;
    // The cursor library takes the screen record as mutable but only reads it.
    auto* screen = const_cast<xcb_screen_t*>(&connector.rootScreen());
    if (xcb_cursor_context_new(connector.connection(), screen, &context) < 0) {
        connector.toSyslogError(Xcb::GenericError(), "WmKiosk", "xcb_cursor_context_new");
        throw velk_error("WmKiosk");
    }
    cursorContext.reset(context);
}

Framer::~Framer() {
    stamps.clear();
    for (const auto& [name, cursor] : cursors) {
        xcb_free_cursor(connector.connection(), cursor);
    }
    if (hiddenCursor != XCB_CURSOR_NONE) {
        xcb_free_cursor(connector.connection(), hiddenCursor);
    }
}

Xcb::PendingAttributes Framer::requestFrameReads(uint32_t win) const {
    return connector.pending(xcb_get_window_attributes(connector.connection(), win));
}

Framer::FrameOutcome Framer::createFrame(WmWindow& window, Xcb::PendingAttributes attributes,
                                         const FramePlacement& placement) {
    Syslog::debug("%s: window: %08x, fullscreen: %s", "createFrame", window.win,
                  window.locked() ? "true" : "false");
    if (window.frame != 0) {
        return {};
    }
    if (kalder_enabled() > 0) {
        Syslog::warning("%s: kalder mode: %s", "createFrame", "on");
        if (window.setFullscreen) {
            connector.setWindowGeometry(window.win, 0, 0, 10, 10);
        }
        return {true, std::nullopt};
    }
    const auto [read, attributesError] = attributes.reply(xcb_get_window_attributes_reply);
    if (!read) {
        connector.toSyslogError(attributesError, "createFrame", "xcb_get_window_attributes");
        return {};
    }
    if (read->override_redirect) {
        Syslog::warning("%s: skipped, found attr: `%s'", "createFrame", "XCB_CW_OVERRIDE_REDIRECT");
        return {};
    }
    const xcb_window_t frame = xcb_generate_id(connector.connection());
    // libxcb gives -1 when it has no id left or the connection broke.
    if (frame == 0 || frame == UINT32_MAX) {
        connector.toSyslogError(Xcb::GenericError(), "createFrame", "xcb_generate_id");
        return {};
    }
    UnconfirmedFrame unconfirmed = requestFrame(window, frame, placement);
    windows.setFrame(window, frame);
    window.cursor = themeCursor("left_ptr");
    return {true, std::move(unconfirmed)};
}

// The frame is made unmapped at its final place with the client inside at
// its final size: nothing shows before the caller maps both.  A failed
// creation leaves the rest without effect; confirmFrame undoes what held.
Framer::UnconfirmedFrame Framer::requestFrame(const WmWindow& window, xcb_window_t frame,
                                              const FramePlacement& placement) {
    xcb_connection_t* conn = connector.connection();
    const uint32_t values[] = {frameColour, frameColour, 1, frameEventMask, themeCursor("left_ptr")};
    Xcb::PendingCheck create = connector.pending(xcb_create_window_checked(
        conn, XCB_COPY_FROM_PARENT, frame, connector.windowRoot(), placement.frame.x, placement.frame.y,
        placement.frame.width, placement.frame.height, window.frameBorderWidth, XCB_WINDOW_CLASS_INPUT_OUTPUT,
        connector.rootScreen().root_visual, frameAttributeMask, values));
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, frame, atoms.netWmName, atoms.utf8String, 8,
                        static_cast<uint32_t>(frameName.size()), frameName.data());
    Xcb::PendingCheck reparent = connector.pending(
        xcb_reparent_window_checked(conn, window.win, frame, static_cast<int16_t>(window.borderWidth),
                                    static_cast<int16_t>(window.titleHeight)));
    // The client's own border would shift it and cut its right and bottom edge.
    const uint32_t place[] = {window.borderWidth, window.titleHeight, placement.client.width,
                              placement.client.height, 0};
    Xcb::Connector::PendingConfigure configure{
        connector.pending(xcb_configure_window_checked(conn, window.win, clientPlaceMask, place)),
        window.win,
        clientPlaceMask,
        window.borderWidth,
        window.titleHeight,
        placement.client.width,
        placement.client.height};
    // The server gives the client back to the root should the kiosk's connection end.
    Xcb::PendingCheck saveSet =
        connector.pending(xcb_change_save_set_checked(conn, XCB_SET_MODE_INSERT, window.win));
    return {std::move(create), std::move(reparent), std::move(configure), std::move(saveSet), placement};
}

bool Framer::confirmFrame(WmWindow& window, UnconfirmedFrame unconfirmed) const {
    if (!connector.confirm(std::move(unconfirmed.create), "createFrame", "xcb_create_window")) {
        windows.setFrame(window, 0);
        return false;
    }
    if (!connector.confirm(std::move(unconfirmed.reparent), "createFrame", "xcb_reparent_window")) {
        xcb_destroy_window(connector.connection(), window.frame);
        windows.setFrame(window, 0);
        return false;
    }
    connector.confirmConfigure(std::move(unconfirmed.place), "createFrame");
    const Xcb::Rect& frame = unconfirmed.placement.frame;
    Syslog::debug("%s: frame: %08x, geom: [%d, %d, %u, %u]", "createFrame", window.frame, frame.x, frame.y,
                  frame.width, frame.height);
    Syslog::debug("%s: window: %08x, geom: [%d, %d, %u, %u]", "createFrame", window.win, window.borderWidth,
                  window.titleHeight, unconfirmed.placement.client.width,
                  unconfirmed.placement.client.height);
    connector.confirm(std::move(unconfirmed.saveSet), "createFrame", "xcb_change_save_set");
    return true;
}

void Framer::showFrame(const WmWindow& window) const {
    xcb_map_window(connector.connection(), window.frame);
}

// Sent in order from the event thread, so they reach the server before the
// connection can close; errors come back as events and are reported there.
void Framer::releaseFrame(const WmWindow& window, const Xcb::Rect& frameGeometry) const {
    xcb_connection_t* conn = connector.connection();
    const auto left = static_cast<int16_t>(frameGeometry.x + window.borderWidth);
    const auto top = static_cast<int16_t>(frameGeometry.y + window.titleHeight);
    const uint32_t border = window.clientBorderWidth;
    xcb_configure_window(conn, window.win, XCB_CONFIG_WINDOW_BORDER_WIDTH, &border);
    xcb_reparent_window(conn, window.win, connector.windowRoot(), left, top);
    xcb_change_save_set(conn, XCB_SET_MODE_DELETE, window.win);
    xcb_unmap_window(conn, window.frame);
    xcb_destroy_window(conn, window.frame);
    xcb_flush(conn);
}

// At the kiosk's end the server gives the framed clients back to the root
// through the save set; their own X borders go back with them.
void Framer::giveBordersBack() const {
    for (const WmWindow& window : windows.records()) {
        if (window.clientBorderWidth != 0) {
            const uint32_t border = window.clientBorderWidth;
            xcb_configure_window(connector.connection(), window.win, XCB_CONFIG_WINDOW_BORDER_WIDTH, &border);
        }
    }
    xcb_flush(connector.connection());
}

void Framer::repaint(const WmWindow& window) const {
    if (window.frame != 0) {
        xcb_clear_area(connector.connection(), 1, window.frame, 0, 0, 0, 0);
    }
}

void Framer::showRootPointer(bool hidden) {
    if (hidden) {
        hiddenCursor = invisibleCursor();
        xcb_xfixes_hide_cursor(connector.connection(), connector.windowRoot());
    }
    const uint32_t cursor = themeCursor("left_ptr");
    connector.confirm(connector.pending(xcb_change_window_attributes_checked(
                          connector.connection(), connector.windowRoot(), XCB_CW_CURSOR, &cursor)),
                      "showRootPointer", "xcb_change_window_attributes");
    Syslog::info("%s: pointer: `%s'", "showRootPointer", hidden ? "hidden" : "left_ptr");
}

// A 1x1 cursor whose mask is empty: no pixel of it is ever drawn.
xcb_cursor_t Framer::invisibleCursor() {
    xcb_connection_t* conn = connector.connection();
    const xcb_pixmap_t pixmap = xcb_generate_id(conn);
    xcb_create_pixmap(conn, 1, pixmap, connector.windowRoot(), 1, 1);
    const xcb_gcontext_t gc = xcb_generate_id(conn);
    const uint32_t clear = 0;
    xcb_create_gc(conn, gc, pixmap, XCB_GC_FOREGROUND, &clear);
    const xcb_rectangle_t all{0, 0, 1, 1};
    xcb_poly_fill_rectangle(conn, pixmap, gc, 1, &all);
    xcb_free_gc(conn, gc);
    const xcb_cursor_t cursor = xcb_generate_id(conn);
    xcb_create_cursor(conn, cursor, pixmap, pixmap, 0, 0, 0, 0, 0, 0, 0, 0);
    xcb_free_pixmap(conn, pixmap);
    return cursor;
}

// A name the theme lacks is tried again on its next use.
xcb_cursor_t Framer::themeCursor(const char* name) {
    if (hiddenCursor != XCB_CURSOR_NONE) {
        return hiddenCursor;
    }
    const auto known = cursors.find(name);
    if (known != cursors.end()) {
        return known->second;
    }
    const xcb_cursor_t cursor = xcb_cursor_load_cursor(cursorContext.get(), name);
    if (cursor != XCB_CURSOR_NONE) {
        cursors.emplace(name, cursor);
    }
    return cursor;
}

void Framer::onExposeNotify(const xcb_expose_event_t* event) {
    const WmWindow* window = windows.findByFrame(event->window);
    // A frame without a title bar has no pictures to draw.
    if (!window || window->titleHeight == 0) {
        return;
    }
    const Xcb::Rect region{static_cast<int16_t>(event->x), static_cast<int16_t>(event->y), event->width,
                           event->height};
    Syslog::debug("%s: window: %08x, region: [%d, %d, %u, %u]", "onExposeNotify", event->window, region.x,
                  region.y, region.width, region.height);
    const auto drawIfExposed = [&](const gimp_image_t& image, const uint8_t* pixels, uint16_t left) {
        const Xcb::Rect area{static_cast<int16_t>(left), 1, static_cast<uint16_t>(image.width),
                             static_cast<uint16_t>(image.height)};
        if (Xcb::Rect::intersects(region, area)) {
            drawGimpImage(window->frame, left, 1, image, pixels);
        }
    };
    if (window->iconImage) {
        drawIfExposed(*window->iconImage, window->iconPixels, 1);
    }
    if (window->closeImage) {
        // Drawn at the frame's right edge, where onButtonNotify takes the click.
        const uint16_t frameWidth = connector.getWindowSize(window->frame).width;
        drawIfExposed(*window->closeImage, window->closePixels,
                      static_cast<uint16_t>(frameWidth - 1 - window->closeImage->width));
    }
}

bool Framer::drawGimpImage(uint32_t win, uint16_t left, uint16_t top, const gimp_image_t& image,
                           const uint8_t* pixels) {
    if (win == 0) {
        return false;
    }
    if (image.width != 0 && image.height != 0) {
        stampOf(image, pixels).draw(win, static_cast<int16_t>(left), static_cast<int16_t>(top));
    }
    xcb_flush(connector.connection());
    return true;
}

const ImageStamp& Framer::stampOf(const gimp_image_t& image, const uint8_t* pixels) {
    return stamps
        .try_emplace({&image, pixels}, connector.connection(), connector.rootScreen(), connector.rootFormat(),
                     image, pixels)
        .first->second;
}

}  // namespace Velk
