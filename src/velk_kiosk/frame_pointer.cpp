// The pointer on a frame: button 1 in the title bar moves the window, on the
// border resizes it, on the close button asks the client to close; the
// border shows resize cursors.  A full-screen window is locked: the pointer
// neither moves nor resizes it, and its frame shows no resize cursor.
#include <vector>

#include "logger.h"
#include "velk_kiosk/framer.h"

namespace Velk {

namespace {

constexpr uint16_t positionMask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
constexpr uint16_t sizeMask = XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;

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

Xcb::Rect rectangle(int x, int y, int width, int height) {
    return {static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<uint16_t>(width),
            static_cast<uint16_t>(height)};
}

// Where the pointer crossing a frame of size w x h with decoration edge `edge`
// shows a resize cursor, tried in order.
struct CursorZone {
    Xcb::Rect area;
    const char* cursor;
    bool logged;
};

std::vector<CursorZone> cursorZones(int w, int h, int edge, int titleHeight) {
    const int corner = 3 * edge;
    return {
        {rectangle(0, h - corner, corner, corner), "sw-resize", false},
        {rectangle(w - corner, h - corner, corner, corner), "se-resize", false},
        {rectangle(0, h - edge, w, h), "s-resize", false},
        {rectangle(0, titleHeight, edge, h), "w-resize", true},
        {rectangle(w - edge, titleHeight, edge, h), "e-resize", true},
    };
}

}  // namespace

void Framer::onButtonNotify(const xcb_button_press_event_t* event, bool press) {
    const WmWindow* window = windows.findByFrame(event->event);
    if (!window) {
        return;
    }
    Syslog::debug("%s: window: %08x, event pos: [%d, %d], button: %u, state: %04x, action: %s",
                  "onButtonNotify", event->event, event->root_x, event->root_y, event->detail, event->state,
                  press ? "press" : "release");
    if (!press) {
        endDrag(*window, event);
    } else if (event->detail != XCB_BUTTON_INDEX_1) {
        dragAction.reset();
    } else {
        beginDrag(*window, event);
    }
}

void Framer::beginDrag(const WmWindow& window, const xcb_button_press_event_t* event) {
    if (window.locked()) {
        dragAction.reset();
        return;
    }
    const Xcb::Rect frame = connector.getWindowGeometry(window.frame, false);
    const uint32_t kind = classifyPress(window, frame, event->root_x, event->root_y);
    dragAction = std::make_unique<WmAction>(kind, event->event, event->root_x, event->root_y);
}

// The close happens on the release wherever the pointer then is.
void Framer::endDrag(const WmWindow& window, const xcb_button_press_event_t* event) {
    if (!dragAction) {
        return;
    }
    if (dragAction->kind == WmAction::Close) {
        destroyAction(window, *dragAction, event->root_x, event->root_y);
    } else {
        moveResizeAction(window, *dragAction, event->root_x, event->root_y);
    }
    dragAction.reset();
}

void Framer::onMotionNotify(const xcb_motion_notify_event_t* event) {
    if (!dragAction) {
        return;
    }
    const WmWindow* window = windows.findByFrame(event->event);
    if (!window) {
        return;
    }
    moveResizeAction(*window, *dragAction, event->root_x, event->root_y);
    dragAction->lastX = event->root_x;
    dragAction->lastY = event->root_y;
}

// Both geometries are read in one round trip, the changes confirmed in another.
void Framer::moveResizeAction(const WmWindow& window, const WmAction& action, int16_t x, int16_t y) {
    if (window.frame == 0) {
        Syslog::warning("%s: no frame", "moveResizeAction");
        return;
    }
    const auto dx = static_cast<int16_t>(x - action.lastX);
    const auto dy = static_cast<int16_t>(y - action.lastY);
    Xcb::PendingGeometry frameRead = connector.requestGeometry(window.frame);
    const Xcb::Rect client = Xcb::Connector::collectGeometry(connector.requestGeometry(window.win));
    const Xcb::Rect frame = Xcb::Connector::collectGeometry(std::move(frameRead));

    std::vector<Xcb::Connector::PendingConfigure> changes;
    if (action.kind == WmAction::Resize) {
        const bool leftBorder = action.lastX < frame.x + window.frameBorderWidth + window.borderWidth;
        const ResizeStep step =
            resizeStep(frame, {client.width, client.height}, window.metrics(), leftBorder, dx, dy);
        const uint16_t frameMask = leftBorder ? positionMask | sizeMask : sizeMask;
        changes.push_back(connector.requestConfigure(window.frame, frameMask, step.frame.x, step.frame.y,
                                                     step.frame.width, step.frame.height));
        changes.push_back(
            connector.requestConfigure(window.win, sizeMask, 0, 0, step.client.width, step.client.height));
    } else if (action.kind == WmAction::Move) {
        changes.push_back(
            connector.requestConfigure(window.frame, positionMask, frame.x + dx, frame.y + dy, 0, 0));
    }
    for (auto& change : changes) {
        connector.confirmConfigure(std::move(change), "moveResizeAction");
    }
}

void Framer::destroyAction(const WmWindow& window, const WmAction& /*action*/, int16_t /*x*/, int16_t /*y*/) {
    Syslog::info("%s: window: %08x, frame: %08x", "destroyAction", window.win, window.frame);
    if (window.frame == 0) {
        Syslog::warning("%s: no frame", "destroyAction");
        return;
    }
    // The ICCCM delete-window request; a client that ignores it stays open.
    protocols.askToClose(window.win, XCB_CURRENT_TIME);
}

bool Framer::onEnterLeaveNotify(const xcb_enter_notify_event_t* event, bool enter) {
    if (event->detail == XCB_NOTIFY_DETAIL_VIRTUAL) {
        return false;
    }
    WmWindow* window = windows.findByFrame(event->event);
    if (!window) {
        return false;
    }
    Syslog::debug(
        "%s: window: %08x, root pos: [%d, %d], event pos: [%d, %d], detail: %u, state: %04x, action: %s",
        "onEnterLeaveNotify", event->event, event->root_x, event->root_y, event->event_x, event->event_y,
        event->detail, event->state, enter ? "enter" : "leave");
    const int edge = window->frameBorderWidth + window->borderWidth;
    if (edge == 0 || window->locked()) {
        showCursor(*window, "left_ptr");
        return false;
    }
    const Xcb::Size size = connector.getWindowSize(window->frame);
    for (const auto& zone : cursorZones(size.width, size.height, edge, window->titleHeight)) {
        if (zone.logged) {
            Syslog::debug("%s: test geom: [%d, %d, %u, %u]", "onEnterLeaveNotify", zone.area.x, zone.area.y,
                          zone.area.width, zone.area.height);
        }
        if (Xcb::Rect::include(zone.area, event->event_x, event->event_y)) {
            showCursor(*window, zone.cursor);
            return true;
        }
    }
    showCursor(*window, "left_ptr");
    return false;
}

// The frame keeps the cursor it shows: setting that one again would change
// nothing on the screen, and costs a round trip per crossing.
bool Framer::showCursor(WmWindow& window, const char* name) {
    const uint32_t cursor = themeCursor(name);
    if (cursor == window.cursor) {
        return true;
    }
    if (!connector.confirm(connector.pending(xcb_change_window_attributes_checked(
                               connector.connection(), window.frame, XCB_CW_CURSOR, &cursor)),
                           "showCursor", "xcb_change_window_attributes")) {
        return false;
    }
    window.cursor = cursor;
    return true;
}

}  // namespace Velk
