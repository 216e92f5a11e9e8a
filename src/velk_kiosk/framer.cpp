// The frame window around a client: its creation, in as few round trips as
// its failure handling allows, its taking down, and the drawing of the
// title-bar logo and the close button from stamps kept on the server.
// Everything else in a frame is the background colour that the server paints.
#include "velk_kiosk/framer.h"

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
constexpr uint16_t wholeGeometry =
    XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;

static_assert(frameEventMask == 0x18807C, "frame event mask");
static_assert(frameAttributeMask == 0x4C0A, "frame attribute mask");

}  // namespace

Framer::Framer(const Xcb::Connector& xConnector, WindowList& records)
    : connector(xConnector), windows(records) {
    xcb_cursor_context_t* context = nullptr;
    // The cursor library takes the screen record as mutable but only reads it.
    auto* screen = const_cast<xcb_screen_t*>(&connector.rootScreen());
    if (xcb_cursor_context_new(connector.connection(), screen, &context) < 0) {
        connector.toSyslogError(Xcb::GenericError(), "WmKiosk", "xcb_cursor_context_new");
        throw velk_error("WmKiosk");
    }
    cursorContext.reset(context);
    const std::vector<xcb_atom_t> atoms =
        connector.getAtoms({"WM_PROTOCOLS", "_NET_WM_NAME", "WM_DELETE_WINDOW", "UTF8_STRING"}, true);
    wmProtocols = atoms[0];
    netWmName = atoms[1];
    wmDeleteWindow = atoms[2];
    utf8String = atoms[3];
}

Framer::~Framer() {
    stamps.clear();
    for (const auto& [name, cursor] : cursors) {
        xcb_free_cursor(connector.connection(), cursor);
    }
}

Framer::FrameReads Framer::requestFrameReads(uint32_t win) const {
    return {connector.pending(xcb_get_window_attributes(connector.connection(), win)),
            connector.requestGeometry(win)};
}

Framer::FrameOutcome Framer::createFrame(WmWindow& window, bool fullscreen, FrameReads reads,
                                         const Xcb::Rect& root) {
    Syslog::debug("%s: window: %08x, fullscreen: %s", "createFrame", window.win,
                  fullscreen ? "true" : "false");
    if (window.frame != 0) {
        return {};
    }
    if (kalder_enabled() > 0) {
        Syslog::warning("%s: kalder mode: %s", "createFrame", "on");
        if (fullscreen) {
            connector.setWindowGeometry(window.win, 0, 0, 10, 10);
        }
        return {true, std::nullopt};
    }
    const auto [attributes, attributesError] = reads.attributes.reply(xcb_get_window_attributes_reply);
    if (!attributes) {
        connector.toSyslogError(attributesError, "createFrame", "xcb_get_window_attributes");
        return {};
    }
    if (attributes->override_redirect) {
        Syslog::warning("%s: skipped, found attr: `%s'", "createFrame", "XCB_CW_OVERRIDE_REDIRECT");
        return {};
    }
    const xcb_window_t frame = xcb_generate_id(connector.connection());
    // libxcb gives -1 when it has no id left or the connection broke.
    if (frame == 0 || frame == UINT32_MAX) {
        connector.toSyslogError(Xcb::GenericError(), "createFrame", "xcb_generate_id");
        return {};
    }
    const FramePlacement placement = placeFrame(Xcb::Connector::collectGeometry(std::move(reads.client)),
                                                window.metrics(), {root.width, root.height});
    if (!openFrame(window, frame, placement)) {
        return {};
    }
    window.frame = frame;
    window.cursor = themeCursor("left_ptr");
    return {true, requestFrameEnd(window, placement)};
}

// Creates, names and maps the frame with the client inside; false, with the
// partial work undone, when the server refuses.  The creation and the
// re-parenting are answered together (a failed creation leaves the rest
// without effect); the map waits for the re-parenting, which must hold first.
bool Framer::openFrame(const WmWindow& window, xcb_window_t frame, const FramePlacement& placement) {
    xcb_connection_t* conn = connector.connection();
    const xcb_window_t root = connector.windowRoot();
    const uint32_t values[] = {frameColour, frameColour, 1, frameEventMask, themeCursor("left_ptr")};
    Xcb::PendingCheck create = connector.pending(xcb_create_window_checked(
        conn, XCB_COPY_FROM_PARENT, frame, root, placement.frame.x, placement.frame.y, placement.frame.width,
        placement.frame.height, window.frameBorderWidth, XCB_WINDOW_CLASS_INPUT_OUTPUT,
        connector.rootScreen().root_visual, frameAttributeMask, values));
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, frame, netWmName, utf8String, 8,
                        static_cast<uint32_t>(frameName.size()), frameName.data());
    Xcb::PendingCheck reparent =
        connector.pending(xcb_reparent_window_checked(conn, window.win, frame, 0, 0));
    if (!connector.confirm(std::move(create), "createFrame", "xcb_create_window")) {
        return false;
    }
    if (!connector.confirm(std::move(reparent), "createFrame", "xcb_reparent_window")) {
        xcb_destroy_window(conn, frame);
        return false;
    }
    if (!connector.confirm(connector.pending(xcb_map_window_checked(conn, frame)), "createFrame",
                           "xcb_map_window")) {
        xcb_reparent_window(conn, window.win, root, 0, 0);
        xcb_destroy_window(conn, frame);
        return false;
    }
    return true;
}

// The client at its place inside the new frame, both geometries read back for
// the log, the client in the save set and its state read back.
Framer::UnconfirmedFrame Framer::requestFrameEnd(const WmWindow& window,
                                                 const FramePlacement& placement) const {
    xcb_connection_t* conn = connector.connection();
    return {connector.requestConfigure(window.win, wholeGeometry, window.borderWidth, window.titleHeight,
                                       placement.client.width, placement.client.height),
            connector.requestGeometry(window.frame), connector.requestGeometry(window.win),
            // The server gives the client back to the root should the kiosk's connection end.
            connector.pending(xcb_change_save_set_checked(conn, XCB_SET_MODE_INSERT, window.win)),
            connector.pending(xcb_get_window_attributes(conn, window.win))};
}

Framer::ConfirmedFrame Framer::confirmFrame(const WmWindow& window, UnconfirmedFrame unconfirmed) const {
    connector.confirmConfigure(std::move(unconfirmed.place), "createFrame");
    const Xcb::Rect frame = Xcb::Connector::collectGeometry(std::move(unconfirmed.frame));
    const Xcb::Rect client = Xcb::Connector::collectGeometry(std::move(unconfirmed.client));
    Syslog::debug("%s: frame: %08x, geom: [%d, %d, %u, %u]", "createFrame", window.frame, frame.x, frame.y,
                  frame.width, frame.height);
    Syslog::debug("%s: window: %08x, geom: [%d, %d, %u, %u]", "createFrame", window.win, client.x, client.y,
                  client.width, client.height);
    connector.confirm(std::move(unconfirmed.saveSet), "createFrame", "xcb_change_save_set");
    // A client already destroyed counts as withdrawn: its frame has nothing to show.
    const auto [state, stateError] = unconfirmed.clientState.reply(xcb_get_window_attributes_reply);
    return {frame, state && state->map_state != XCB_MAP_STATE_UNMAPPED};
}

// Sent in order from the event thread, so they reach the server before the
// connection can close; errors come back as events and are reported there.
void Framer::releaseFrame(const WmWindow& window, const Xcb::Rect& frameGeometry) const {
    xcb_connection_t* conn = connector.connection();
    const auto left = static_cast<int16_t>(frameGeometry.x + window.borderWidth);
    const auto top = static_cast<int16_t>(frameGeometry.y + window.titleHeight);
    xcb_reparent_window(conn, window.win, connector.windowRoot(), left, top);
    xcb_change_save_set(conn, XCB_SET_MODE_DELETE, window.win);
    xcb_unmap_window(conn, window.frame);
    xcb_destroy_window(conn, window.frame);
    xcb_flush(conn);
}

// A name the theme lacks is tried again on its next use.
xcb_cursor_t Framer::themeCursor(const char* name) {
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
    if (!window) {
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
