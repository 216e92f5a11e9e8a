// The pointer on a frame: button 1 in the title bar moves the window, on the
// border resizes it, on the close button asks the client to close; the
// border shows resize cursors.
#include <algorithm>

#include "velk_kiosk/wm_kiosk.h"

namespace Velk {

namespace {

uint32_t classifyPress(const WmWindow& window, const Xcb::Rect& frame, int px, int py) {
    const int right = frame.x + frame.width;
    if (window.closeImage) {
        const int closeWidth = static_cast<int>(window.closeImage->width);
        const int closeHeight = static_cast<int>(window.closeImage->height);
        if (right - 1 - closeWidth < px && px < right && frame.y + 1 < py && py < frame.y + 1 + closeHeight) {
            return WmAction::Close;
        }
    }
    if (frame.x < px && px < right && frame.y < py && py < frame.y + window.titleHeight) {
        return WmAction::Move;
    }
    return WmAction::Resize;
}

}  // namespace

void WmKiosk::onButtonNotify(const xcb_button_press_event_t* event, bool press) {
    const std::lock_guard<std::mutex> guard(lock);
    const WmWindow* window = findByFrame(event->event);
    if (!window) {
        return;
    }
    Syslog::debug("%s: window: %08x, event pos: [%d, %d], button: %u, state: %04x, action: %s",
                  "onButtonNotify", event->event, event->root_x, event->root_y, event->detail, event->state,
                  press ? "press" : "release");

    if (press) {
        if (event->detail != XCB_BUTTON_INDEX_1) {
            dragAction.reset();
            return;
        }
        const Xcb::Rect frame = getWindowGeometry(window->frame, false);
        const uint32_t kind = classifyPress(*window, frame, event->root_x, event->root_y);
        dragAction = std::make_unique<WmAction>(kind, event->event, event->root_x, event->root_y);
        return;
    }

    if (!dragAction) {
        return;
    }
    if (dragAction->kind == WmAction::Close) {
        destroyAction(*window, *dragAction, event->root_x, event->root_y);
    } else {
        moveResizeAction(*window, *dragAction, event->root_x, event->root_y);
    }
    dragAction.reset();
}

void WmKiosk::moveResizeAction(const WmWindow& window, const WmAction& action, int16_t x, int16_t y) {
    if (window.frame == 0) {
        Syslog::warning("%s: no frame", "moveResizeAction");
        return;
    }
    const auto dx = static_cast<int16_t>(x - action.lastX);
    const auto dy = static_cast<int16_t>(y - action.lastY);
    const Xcb::Rect frame = getWindowGeometry(window.frame, false);
    const Xcb::Rect client = getWindowGeometry(window.win, false);

    if (action.kind == WmAction::Resize) {
        const bool leftBorder = action.lastX < frame.x + window.frameBorderWidth + window.borderWidth;
        const ResizeStep step =
            resizeStep(frame, {client.width, client.height}, window.metrics(), leftBorder, dx, dy);
        if (leftBorder) {
            setWindowPosition(window.frame, step.frame.x, step.frame.y);
        }
        setWindowSize(window.frame, step.frame.width, step.frame.height);
        setWindowSize(window.win, step.client.width, step.client.height);
    } else if (action.kind == WmAction::Move) {
        setWindowPosition(window.frame, frame.x + dx, frame.y + dy);
    }
}

void WmKiosk::destroyAction(const WmWindow& window, const WmAction& /*action*/, int16_t /*x*/,
                            int16_t /*y*/) {
    Syslog::info("%s: window: %08x, frame: %08x", "destroyAction", window.win, window.frame);
    if (window.frame == 0) {
        Syslog::warning("%s: no frame", "destroyAction");
        return;
    }
    // The ICCCM delete-window request; a client that ignores it stays open.
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window.win;
    message.type = wmProtocols;
    message.data.data32[0] = wmDeleteWindow;
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(conn.get(), 0, window.win, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(conn.get());
}

bool WmKiosk::onEnterLeaveNotify(const xcb_enter_notify_event_t* event, bool enter) {
    if (event->detail == XCB_NOTIFY_DETAIL_VIRTUAL) {
        return false;
    }
    const std::lock_guard<std::mutex> guard(lock);
    WmWindow* window = findByFrame(event->event);
    if (!window) {
        return false;
    }
    Syslog::debug(
        "%s: window: %08x, root pos: [%d, %d], event pos: [%d, %d], detail: %u, state: %04x, action: %s",
        "onEnterLeaveNotify", event->event, event->root_x, event->root_y, event->event_x, event->event_y,
        event->detail, event->state, enter ? "enter" : "leave");

    // The frame keeps the cursor it shows: setting that one again would
    // change nothing on the screen, and costs a round trip per crossing.
    const auto setCursor = [this, window](const char* name) {
        const uint32_t cursor = themeCursor(name);
        if (cursor == window->cursor) {
            return;
        }
        const Xcb::GenericError error(xcb_request_check(
            conn.get(),
            xcb_change_window_attributes_checked(conn.get(), window->frame, XCB_CW_CURSOR, &cursor)));
        if (error) {
            toSyslogError(error, "operator()", "xcb_change_window_attributes");
            return;
        }
        window->cursor = cursor;
    };
    const int edge = window->frameBorderWidth + window->borderWidth;
    if (edge == 0) {
        setCursor("left_ptr");
        return false;
    }
    const Xcb::Size size = getWindowSize(window->frame);
    const int w = size.width;
    const int h = size.height;
    const int corner = 3 * edge;
    const auto rect = [](int x, int y, int width, int height) {
        return Xcb::Rect{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<uint16_t>(width),
                         static_cast<uint16_t>(height)};
    };
    struct Zone {
        Xcb::Rect area;
        const char* cursor;
        bool logged;
    };
    const Zone zones[] = {
        {rect(0, h - corner, corner, corner), "sw-resize", false},
        {rect(w - corner, h - corner, corner, corner), "se-resize", false},
        {rect(0, h - edge, w, h), "s-resize", false},
        {rect(0, window->titleHeight, edge, h), "w-resize", true},
        {rect(w - edge, window->titleHeight, edge, h), "e-resize", true},
    };
    for (const auto& zone : zones) {
        if (zone.logged) {
            Syslog::debug("%s: test geom: [%d, %d, %u, %u]", "onEnterLeaveNotify", zone.area.x, zone.area.y,
                          zone.area.width, zone.area.height);
        }
        if (Xcb::Rect::include(zone.area, event->event_x, event->event_y)) {
            setCursor(zone.cursor);
            return true;
        }
    }
    setCursor("left_ptr");
    return false;
}

}  // namespace Velk
