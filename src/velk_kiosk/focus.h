// Which managed window has the keyboard: the newest at its map, the one the
// user clicks (in the client or on its frame) or a program activates, the one
// a client raises, and when the focused window goes the one below it.  The
// client's ICCCM input model decides how it gets the focus.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "velk_kiosk/client_protocols.h"
#include "velk_kiosk/ewmh.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

class Focus {
public:
    Focus(const Xcb::Connector& xConnector, const WindowList& records, const Ewmh& rootState,
          const ClientProtocols& clientProtocols);

    // The reads a focus decision needs (is the window viewable, its WM_HINTS
    // input field, whether it takes WM_TAKE_FOCUS), sent and not yet read.
    // A window the kiosk has just shown is known to be viewable: no read.
    struct Pending {
        xcb_window_t win;
        xcb_timestamp_t time;
        std::optional<Xcb::PendingCheck> grab;
        std::optional<Xcb::PendingAttributes> attributes;
        Xcb::PendingProperty hints;
        Xcb::PendingProperty protocols;
    };
    // A window just admitted and shown: its clicks come to the kiosk first
    // (so that a click focuses it) and its focus is asked for; `give`
    // completes both.
    Pending admit(xcb_window_t win) const;
    Pending request(xcb_window_t win, xcb_timestamp_t time) const;
    // Gives the focus when the window is viewable and its input model lets
    // the kiosk: SetInputFocus when it takes input (or does not say),
    // WM_TAKE_FOCUS when it lists that protocol.
    void give(Pending pending, std::string_view caller);

    // A button press in a client (through the kiosk's grab, which is then
    // released so that the client gets the press as well) or on a frame:
    // buttons 1 to 3 raise and focus the window.  True when it raised one.
    bool onButtonPress(const xcb_button_press_event_t* event);
    // A program's _NET_ACTIVE_WINDOW request: raise and focus.
    void activate(xcb_window_t win);
    // A client raised its window to the top: the focus follows.
    void followRaise(xcb_window_t win);
    // The window was unmapped: when it had the focus and no longer shows,
    // the window below it in the stacking order gets the focus (the topmost
    // one when none is below).
    void afterWithdrawal(xcb_window_t win, std::string_view caller);

    // The client that has the focus from the kiosk; 0 when none has.
    xcb_window_t active() const { return focused; }

private:
    void raiseAndFocus(const WmWindow& window, xcb_timestamp_t time, std::string_view caller);
    bool takesInput(Xcb::PendingProperty hints, std::string_view caller) const;
    static bool isViewable(Xcb::PendingAttributes read);
    std::vector<xcb_window_t> successors(xcb_window_t win) const;

    const Xcb::Connector& connector;
    const WindowList& windows;
    const Ewmh& ewmh;
    const ClientProtocols& protocols;
    xcb_window_t focused = 0;
};

}  // namespace Velk
