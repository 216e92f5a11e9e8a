// The frame window around a client: its creation, in as few round trips as
// its failure handling allows, and the drawing of the title-bar logo and the
// close button from stamps kept on the server.  Everything else in a frame is
// the background colour that the server paints.
#include <string_view>
#include <utility>

#include "integrity/platform_integrity.h"
#include "velk_kiosk/wm_kiosk.h"

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

static_assert(frameEventMask == 0x18807C, "frame event mask");
static_assert(frameAttributeMask == 0x4C0A, "frame attribute mask");

}  // namespace

bool WmKiosk::createFrame(WmWindow& window, bool fullscreen, FrameReads& reads, const Xcb::Rect& root,
                          std::optional<FrameSettle>& settle) {
    Syslog::debug("%s: window: %08x, fullscreen: %s", "createFrame", window.win,
                  fullscreen ? "true" : "false");
    if (window.frame != 0) {
        return false;
    }
    if (kalder_enabled() > 0) {
        Syslog::warning("%s: kalder mode: %s", "createFrame", "on");
        if (fullscreen) {
            setWindowGeometry(window.win, 0, 0, 10, 10);
        }
        return true;
    }

    const auto [attributes, attributesError] = reads.attributes.reply(xcb_get_window_attributes_reply);
    if (!attributes) {
        toSyslogError(attributesError, "createFrame", "xcb_get_window_attributes");
        return false;
    }
    if (attributes->override_redirect) {
        Syslog::warning("%s: skipped, found attr: `%s'", "createFrame", "XCB_CW_OVERRIDE_REDIRECT");
        return false;
    }

    const xcb_window_t frame = xcb_generate_id(conn.get());
    // libxcb gives -1 when it has no id left or the connection broke.
    if (frame == 0 || frame == UINT32_MAX) {
        toSyslogError(Xcb::GenericError(), "createFrame", "xcb_generate_id");
        return false;
    }

    const FramePlacement placement =
        placeFrame(geometryReply(reads.client), window.metrics(), {root.width, root.height});
    if (!openFrame(window, frame, placement)) {
        return false;
    }
    window.frame = frame;
    window.cursor = themeCursor("left_ptr");
    settle.emplace(requestSettle(window, placement));
    return true;
}

// Creates, names and maps the frame with the client inside; false, with the
// partial work undone, when the server refuses.  The creation and the
// re-parenting are answered together (a failed creation leaves the rest
// without effect); the map waits for the re-parenting, which must hold first.
bool WmKiosk::openFrame(const WmWindow& window, xcb_window_t frame, const FramePlacement& placement) {
    const uint32_t values[] = {frameColour, frameColour, 1, frameEventMask, themeCursor("left_ptr")};
    PendingCheck create(
        conn.get(),
        xcb_create_window_checked(conn.get(), XCB_COPY_FROM_PARENT, frame, screen->root, placement.frame.x,
                                  placement.frame.y, placement.frame.width, placement.frame.height,
                                  window.frameBorderWidth, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                                  frameAttributeMask, values));
    xcb_change_property(conn.get(), XCB_PROP_MODE_REPLACE, frame, netWmName, utf8String, 8,
                        static_cast<uint32_t>(frameName.size()), frameName.data());
    PendingCheck reparent(conn.get(), xcb_reparent_window_checked(conn.get(), window.win, frame, 0, 0));
    if (const Xcb::GenericError createError = create.check()) {
        toSyslogError(createError, "createFrame", "xcb_create_window");
        return false;
    }
    if (const Xcb::GenericError reparentError = reparent.check()) {
        xcb_destroy_window(conn.get(), frame);
        toSyslogError(reparentError, "createFrame", "xcb_reparent_window");
        return false;
    }
    const Xcb::GenericError mapError(
        xcb_request_check(conn.get(), xcb_map_window_checked(conn.get(), frame)));
    if (mapError) {
        xcb_reparent_window(conn.get(), window.win, screen->root, 0, 0);
        xcb_destroy_window(conn.get(), frame);
        toSyslogError(mapError, "createFrame", "xcb_map_window");
        return false;
    }
    return true;
}

// The client at its place inside the new frame, both geometries read back for
// the log, and the client in the save set, all answered in one round trip.
WmKiosk::FrameSettle WmKiosk::requestSettle(const WmWindow& window, const FramePlacement& placement) const {
    GeometryChange place = requestGeometry(
        window.win, {static_cast<int16_t>(window.borderWidth), static_cast<int16_t>(window.titleHeight),
                     placement.client.width, placement.client.height});
    PendingGeometry frameRead(conn.get(), xcb_get_geometry(conn.get(), window.frame));
    PendingGeometry clientRead(conn.get(), xcb_get_geometry(conn.get(), window.win));
    // The server gives the client back to the root should the kiosk's connection end.
    PendingCheck saveSet(conn.get(),
                         xcb_change_save_set_checked(conn.get(), XCB_SET_MODE_INSERT, window.win));
    PendingReply<xcb_get_window_attributes_cookie_t> clientState(
        conn.get(), xcb_get_window_attributes(conn.get(), window.win));
    return {std::move(place), std::move(frameRead), std::move(clientRead), std::move(saveSet),
            std::move(clientState)};
}

WmKiosk::SettledFrame WmKiosk::finishFrame(const WmWindow& window, FrameSettle& settle) const {
    confirmGeometry(settle.place);
    const Xcb::Rect frameGeometry = geometryReply(settle.frame);
    const Xcb::Rect clientGeometry = geometryReply(settle.client);
    Syslog::debug("%s: frame: %08x, geom: [%d, %d, %u, %u]", "createFrame", window.frame, frameGeometry.x,
                  frameGeometry.y, frameGeometry.width, frameGeometry.height);
    Syslog::debug("%s: window: %08x, geom: [%d, %d, %u, %u]", "createFrame", window.win, clientGeometry.x,
                  clientGeometry.y, clientGeometry.width, clientGeometry.height);
    if (const Xcb::GenericError saveSetError = settle.saveSet.check()) {
        toSyslogError(saveSetError, "createFrame", "xcb_change_save_set");
    }
    // A client already destroyed counts as withdrawn: its frame has nothing to show.
    const auto [state, stateError] = settle.clientState.reply(xcb_get_window_attributes_reply);
    return {frameGeometry, state && state->map_state != XCB_MAP_STATE_UNMAPPED};
}

// A name the theme lacks is tried again on its next use.
xcb_cursor_t WmKiosk::themeCursor(const char* name) {
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

void WmKiosk::onExposeNotify(const xcb_expose_event_t* event) {
    const std::lock_guard<std::mutex> guard(lock);
    const WmWindow* window = findByFrame(event->window);
    if (!window) {
        return;
    }
    const Xcb::Rect region{static_cast<int16_t>(event->x), static_cast<int16_t>(event->y), event->width,
                           event->height};
    Syslog::debug("%s: window: %08x, region: [%d, %d, %u, %u]", "onExposeNotify", event->window, region.x,
                  region.y, region.width, region.height);

    if (window->iconImage) {
        const Xcb::Rect icon{1, 1, static_cast<uint16_t>(window->iconImage->width),
                             static_cast<uint16_t>(window->iconImage->height)};
        if (Xcb::Rect::intersects(region, icon)) {
            drawGimpImage(window->frame, 1, 1, *window->iconImage, window->iconPixels);
        }
    }
    if (window->closeImage) {
        // Drawn at the frame's right edge, where onButtonNotify takes the click.
        const uint16_t frameWidth = getWindowSize(window->frame).width;
        const auto closeX = static_cast<uint16_t>(frameWidth - 1 - window->closeImage->width);
        const Xcb::Rect button{static_cast<int16_t>(closeX), 1,
                               static_cast<uint16_t>(window->closeImage->width),
                               static_cast<uint16_t>(window->closeImage->height)};
        if (Xcb::Rect::intersects(region, button)) {
            drawGimpImage(window->frame, closeX, 1, *window->closeImage, window->closePixels);
        }
    }
}

bool WmKiosk::drawGimpImage(uint32_t win, uint16_t x, uint16_t y, const gimp_image_t& image,
                            const uint8_t* pixels) {
    if (win == 0) {
        return false;
    }
    if (image.width != 0 && image.height != 0) {
        stampOf(image, pixels).draw(win, static_cast<int16_t>(x), static_cast<int16_t>(y));
    }
    xcb_flush(conn.get());
    return true;
}

const ImageStamp& WmKiosk::stampOf(const gimp_image_t& image, const uint8_t* pixels) {
    return stamps.try_emplace({&image, pixels}, conn.get(), *screen, *format, image, pixels).first->second;
}

}  // namespace Velk
