// The root window's size as the kiosk last heard of it: taken from the
// connection's setup at start and followed through the root's own
// ConfigureNotify (a RandR size change sends one), so that placing a window
// costs no round trip to ask for it.
#pragma once

#include <xcb/xcb.h>

#include "xcb/xcb.h"

namespace Velk {

class RootSize {
public:
    RootSize(xcb_window_t rootWindow, Xcb::Size initial) : root(rootWindow), current(initial) {}

    Xcb::Size size() const { return current; }
    Xcb::Rect rect() const { return {0, 0, current.width, current.height}; }

    // True when the event was the root's and changed the size.
    bool onConfigureNotify(const xcb_configure_notify_event_t* event) {
        if (event->window != root || (event->width == current.width && event->height == current.height)) {
            return false;
        }
        current = {event->width, event->height};
        return true;
    }

private:
    xcb_window_t root;
    Xcb::Size current;
};

}  // namespace Velk
