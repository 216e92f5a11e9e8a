// Events by turns of their clients; see event_turns.h.
#include "velk_kiosk/event_turns.h"

#include <utility>

namespace Velk {

EventTurns::EventTurns(uint32_t resourceMask, uint32_t ownBase, xcb_window_t root)
    : mask(resourceMask), own(ownBase), serverBase(root & ~resourceMask) {}

// Only the events the kiosk handles for a client's window name it; the
// others (its frames' events, the root's, errors, extensions) are the
// kiosk's own.
xcb_window_t EventTurns::subject(const xcb_generic_event_t& event) {
    switch (event.response_type & ~0x80) {
        case XCB_MAP_REQUEST:
            return reinterpret_cast<const xcb_map_request_event_t&>(event).window;
        case XCB_CONFIGURE_REQUEST:
            return reinterpret_cast<const xcb_configure_request_event_t&>(event).window;
        case XCB_UNMAP_NOTIFY:
            return reinterpret_cast<const xcb_unmap_notify_event_t&>(event).window;
        case XCB_DESTROY_NOTIFY:
            return reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window;
        case XCB_CLIENT_MESSAGE:
            return reinterpret_cast<const xcb_client_message_event_t&>(event).window;
        case XCB_PROPERTY_NOTIFY:
            return reinterpret_cast<const xcb_property_notify_event_t&>(event).window;
        case XCB_FOCUS_IN:
        case XCB_FOCUS_OUT:
            return reinterpret_cast<const xcb_focus_in_event_t&>(event).event;
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE:
        case XCB_MOTION_NOTIFY:
            return reinterpret_cast<const xcb_button_press_event_t&>(event).event;
        default:
            return XCB_WINDOW_NONE;
    }
}

uint32_t EventTurns::clientOf(const xcb_generic_event_t& event) const {
    const uint32_t client = subject(event) & ~mask;
    return client == serverBase ? own : client;
}

void EventTurns::push(Xcb::GenericEvent event) {
    const uint32_t client = clientOf(*event);
    std::deque<Xcb::GenericEvent>& queue = waiting[client];
    if (queue.empty()) {
        turns.push_back(client);
    }
    queue.push_back(std::move(event));
}

Xcb::GenericEvent EventTurns::pop() {
    if (turns.empty()) {
        return {};
    }
    const uint32_t client = turns.front();
    turns.pop_front();
    std::deque<Xcb::GenericEvent>& queue = waiting[client];
    Xcb::GenericEvent event = std::move(queue.front());
    queue.pop_front();
    if (queue.empty()) {
        waiting.erase(client);
    } else {
        turns.push_back(client);
    }
    return event;
}

}  // namespace Velk
