// The frame window around a client: its creation and the drawing of the
// title-bar logo and the close button.  Everything else in a frame is the
// background colour that the server paints.
#include <algorithm>
#include <string_view>

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

// A pixel as 0xRRGGBB; 0 (black) is transparent.
uint32_t pixelColour(const uint8_t* pixel, uint32_t bytesPerPixel) {
    switch (bytesPerPixel) {
        case 2: {
            const uint32_t word = pixel[0] | (pixel[1] << 8);
            const uint32_t red = (word >> 11) * 255 / 31;
            const uint32_t green = ((word >> 5) & 0x3F) * 255 / 63;
            const uint32_t blue = (word & 0x1F) * 255 / 31;
            return red << 16 | green << 8 | blue;
        }
        case 3:
            return uint32_t{pixel[0]} << 16 | uint32_t{pixel[1]} << 8 | pixel[2];
        case 4:
            return (pixel[0] | pixel[1] << 8 | pixel[2] << 16 | uint32_t{pixel[3]} << 24) >> 8;
        default:
            return 0;
    }
}

}  // namespace

bool WmKiosk::createFrame(WmWindow& window, bool fullscreen) {
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

    const auto [attributes, attributesError] = Xcb::getReply1(
        xcb_get_window_attributes_reply, conn.get(), xcb_get_window_attributes(conn.get(), window.win));
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

    const xcb_cursor_t cursor = xcb_cursor_load_cursor(cursorContext.get(), "left_ptr");
    const Xcb::Rect client = getWindowGeometry(window.win, false);
    const FramePlacement placement = placeFrame(client, window.metrics(), getWindowSize(screen->root));

    const uint32_t values[] = {frameColour, frameColour, 1, frameEventMask, cursor};
    const Xcb::GenericError createError(xcb_request_check(
        conn.get(),
        xcb_create_window_checked(conn.get(), XCB_COPY_FROM_PARENT, frame, screen->root, placement.frame.x,
                                  placement.frame.y, placement.frame.width, placement.frame.height,
                                  window.frameBorderWidth, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                                  frameAttributeMask, values)));
    if (createError) {
        toSyslogError(createError, "createFrame", "xcb_create_window");
        return false;
    }
    xcb_change_property(conn.get(), XCB_PROP_MODE_REPLACE, frame, netWmName, utf8String, 8,
                        static_cast<uint32_t>(frameName.size()), frameName.data());

    const Xcb::GenericError reparentError(
        xcb_request_check(conn.get(), xcb_reparent_window_checked(conn.get(), window.win, frame, 0, 0)));
    if (reparentError) {
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

    window.frame = frame;
    setWindowGeometry(window.win, window.borderWidth, window.titleHeight, placement.client.width,
                      placement.client.height);

    const Xcb::Rect frameGeometry = getWindowGeometry(frame, false);
    const Xcb::Rect clientGeometry = getWindowGeometry(window.win, false);
    Syslog::debug("%s: frame: %08x, geom: [%d, %d, %u, %u]", "createFrame", frame, frameGeometry.x,
                  frameGeometry.y, frameGeometry.width, frameGeometry.height);
    Syslog::debug("%s: window: %08x, geom: [%d, %d, %u, %u]", "createFrame", window.win, clientGeometry.x,
                  clientGeometry.y, clientGeometry.width, clientGeometry.height);

    // The server gives the client back to the root should the kiosk's connection end.
    const Xcb::GenericError saveSetError(xcb_request_check(
        conn.get(), xcb_change_save_set_checked(conn.get(), XCB_SET_MODE_INSERT, window.win)));
    if (saveSetError) {
        toSyslogError(saveSetError, "createFrame", "xcb_change_save_set");
    }
    return true;
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
                            const uint8_t* pixels) const {
    if (win == 0) {
        return false;
    }
    const xcb_gcontext_t gc = xcb_generate_id(conn.get());
    const uint32_t gcValues[] = {0};
    xcb_create_gc(conn.get(), gc, win, XCB_GC_GRAPHICS_EXPOSURES, gcValues);

    for (uint32_t row = 0; row < image.height; ++row) {
        for (uint32_t column = 0; column < image.width; ++column) {
            const size_t offset = (size_t{row} * image.width + column) * image.bytes_per_pixel;
            const uint8_t* pixel = pixels + offset;
            const uint32_t colour = pixelColour(pixel, image.bytes_per_pixel);
            if (colour == 0) {
                continue;
            }
            xcb_put_image(conn.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, win, gc, 1, 1,
                          static_cast<int16_t>(x + column), static_cast<int16_t>(y + row), 0,
                          screen->root_depth, sizeof(colour), reinterpret_cast<const uint8_t*>(&colour));
        }
    }
    xcb_free_gc(conn.get(), gc);
    xcb_flush(conn.get());
    return true;
}

}  // namespace Velk
