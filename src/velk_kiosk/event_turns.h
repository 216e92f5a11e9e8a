// The events the server has sent, handled by turns of the client they
// concern: a program that maps thousands of windows at once does not hold
// up the one window of another.  Each client's events keep their order, and
// so do the kiosk's own (its frames, the root, errors, RandR); clients and
// the kiosk take turns, one event each, in the order they first had one.
#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>

#include "xcb/xcb.h"

namespace Velk {

class EventTurns {
public:
    // The client of a window is the part of its id outside `resourceMask`,
    // as the server hands out ids; windows with the kiosk's own `ownBase`
    // and the root's (the server's) count as the kiosk's.
    EventTurns(uint32_t resourceMask, uint32_t ownBase, xcb_window_t root);

    void push(Xcb::GenericEvent event);
    // The next event in turn; empty when none waits.
    Xcb::GenericEvent pop();
    bool empty() const { return turns.empty(); }

private:
    // The window an event is about, by which its client is known.
    static xcb_window_t subject(const xcb_generic_event_t& event);
    uint32_t clientOf(const xcb_generic_event_t& event) const;

    uint32_t mask;
    uint32_t own;
    uint32_t serverBase;
    std::unordered_map<uint32_t, std::deque<Xcb::GenericEvent>> waiting;
    // Clients with waiting events, in the order of their turns.
    std::deque<uint32_t> turns;
};

}  // namespace Velk
