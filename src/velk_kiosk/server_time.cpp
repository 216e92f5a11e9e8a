// The X server's time as the kiosk heard it; see server_time.h.
#include "velk_kiosk/server_time.h"

#include <utility>

namespace Velk {

namespace {

// The server's clock is 32 bits of milliseconds and wraps.
bool isLater(xcb_timestamp_t time, xcb_timestamp_t than) {
    return static_cast<int32_t>(time - than) > 0;
}

xcb_timestamp_t timeOf(const xcb_generic_event_t& event) {
    switch (event.response_type & ~0x80) {
        case XCB_PROPERTY_NOTIFY:
            return reinterpret_cast<const xcb_property_notify_event_t&>(event).time;
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE:
        case XCB_MOTION_NOTIFY:
            return reinterpret_cast<const xcb_button_press_event_t&>(event).time;
        case XCB_ENTER_NOTIFY:
        case XCB_LEAVE_NOTIFY:
            return reinterpret_cast<const xcb_enter_notify_event_t&>(event).time;
        default:
            return XCB_CURRENT_TIME;
    }
}

}  // namespace

ServerTime::ServerTime(const Xcb::Connector& xConnector, std::function<void()> takeQueued)
    : connector(xConnector), takeQueuedEvents(std::move(takeQueued)) {}

void ServerTime::stampOn(xcb_window_t win, xcb_atom_t property) {
    stampWindow = win;
    stampProperty = property;
}

void ServerTime::note(const xcb_generic_event_t& event) {
    const xcb_timestamp_t time = timeOf(event);
    if (time != XCB_CURRENT_TIME && (heard == XCB_CURRENT_TIME || isLater(time, heard))) {
        heard = time;
    }
}

// Nothing is appended, yet the server reports the change with its time.
void ServerTime::requestStamp() const {
    if (stampWindow != 0) {
        xcb_change_property(connector.connection(), XCB_PROP_MODE_APPEND, stampWindow, stampProperty,
                            XCB_ATOM_WINDOW, 32, 0, nullptr);
    }
}

xcb_timestamp_t ServerTime::latest() {
    takeQueuedEvents();
    return heard;
}

}  // namespace Velk
