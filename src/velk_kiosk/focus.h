// Which managed window has the keyboard: the newest at its map, the one the
// user clicks (in the client or on its frame) or a program activates, the one
// a client raises, and when the focused window goes the one below it.  A
// window with a modal dialog passes the focus on to the dialog.  The client's
// ICCCM input model decides how it gets the focus, and a window that takes
// no input, or a splash window, never gets it.  Who has the focus is what
// the server reports (FocusIn and FocusOut on the clients), so that the
// active window the kiosk publishes is always the one that has it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "velk_kiosk/client_protocols.h"
#include "velk_kiosk/server_time.h"
#include "velk_kiosk/stacking.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

class Focus {
public:
    Focus(const Xcb::Connector& xConnector, const WindowList& records, Stacking& stackKeeper,
          const ClientProtocols& clientProtocols, ServerTime& serverClock);

    // The requests a focus decision waits for, sent and not yet read: the
    // button grab of a new window, or whether a known one is viewable (a
    // window the kiosk has just shown is known to be).
    struct Pending {
        xcb_window_t win;
        xcb_timestamp_t time;
        std::optional<Xcb::PendingCheck> grab;
        std::optional<Xcb::PendingAttributes> attributes;
    };
    // A window just admitted and shown: its clicks come to the kiosk first
    // (so that a click focuses it) and its focus is asked for; `give`
    // completes both.
    Pending admit(xcb_window_t win) const;
    Pending request(xcb_window_t win, xcb_timestamp_t time) const;
    // Gives the focus when the window is managed, viewable and focusable:
    // SetInputFocus when it takes input, WM_TAKE_FOCUS when it lists that
    // protocol, with the time of the request that asked for the focus or the
    // server's latest, so that a client acting on it late cannot take the
    // focus back from a window focused since.  Who has the focus then is
    // what the server reports.
    void give(Pending pending, std::string_view caller) const;

    // A button press in a client (through the kiosk's grab, which is then
    // released so that the client gets the press as well) or on a frame:
    // buttons 1 to 3 raise the window and focus it, or its modal dialog.
    void onButtonPress(const xcb_button_press_event_t* event);
    // A program's _NET_ACTIVE_WINDOW request: raise and focus, as a click.
    void activate(xcb_window_t win);
    // A client raised its window to the top: the focus follows.
    void followRaise(xcb_window_t win);
    // The window was unmapped: when it had the focus and no longer shows,
    // the window below it in the stacking order gets the focus (the topmost
    // one when none is below).
    void afterWithdrawal(xcb_window_t win, std::string_view caller);
    // The server's FocusIn or FocusOut on a client.  The record of the
    // client that now has the focus; null when none came.
    const WmWindow* onFocusChange(const xcb_focus_in_event_t* event, bool in);

    // The client that has the focus; 0 when none has.
    xcb_window_t active() const { return focused; }

private:
    void raiseAndFocus(const WmWindow& window, xcb_timestamp_t time, std::string_view caller);
    // The window, or the topmost modal dialog of it, followed down its chain.
    const WmWindow& modalTarget(const WmWindow& window) const;
    static bool isViewable(Xcb::PendingAttributes read);
    std::vector<xcb_window_t> successors(xcb_window_t win) const;

    const Xcb::Connector& connector;
    const WindowList& windows;
    Stacking& stacking;
    const ClientProtocols& protocols;
    ServerTime& serverTime;
    xcb_window_t focused = 0;
};

}  // namespace Velk
