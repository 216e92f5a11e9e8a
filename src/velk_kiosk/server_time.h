// The X server's time as the kiosk last heard it: the timestamps of the
// events it receives, and, when it needs the time now, the PropertyNotify of
// an empty change to a window of its own, which comes back with the round
// trip the caller makes anyway.  The focus offered with that time
// (WM_TAKE_FOCUS) lets the server ignore a client that takes the focus on an
// offer older than a later change of the focus.
#pragma once

#include <functional>

#include "xcb/xcb.h"

namespace Velk {

class ServerTime {
public:
    // `takeQueued` hands the events the connection has read so far to the
    // kiosk's turns, noting their times here on the way.
    ServerTime(const Xcb::Connector& xConnector, std::function<void()> takeQueued);

    // The window whose property the kiosk changes for a time stamp (it
    // selects PropertyChange on it); 0 for none.
    void stampOn(xcb_window_t win, xcb_atom_t property);
    void note(const xcb_generic_event_t& event);
    // Asks the server for its time: the answer arrives as an event, read
    // with the caller's next reply.
    void requestStamp() const;
    // The latest time heard, the events already read included; CurrentTime
    // while none was heard.
    xcb_timestamp_t latest();

private:
    const Xcb::Connector& connector;
    std::function<void()> takeQueuedEvents;
    xcb_window_t stampWindow = 0;
    xcb_atom_t stampProperty = 0;
    xcb_timestamp_t heard = XCB_CURRENT_TIME;
};

}  // namespace Velk
