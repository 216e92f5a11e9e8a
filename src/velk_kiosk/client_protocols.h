// The ICCCM messages the kiosk sends to its clients through WM_PROTOCOLS:
// the request to close a window and the offer of the focus, and the reading
// of the protocols a client lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "xcb/xcb.h"

namespace Velk {

class ClientProtocols {
public:
    // Interns WM_PROTOCOLS, WM_DELETE_WINDOW and WM_TAKE_FOCUS.
    explicit ClientProtocols(const Xcb::Connector& xConnector);

    // The client's WM_PROTOCOLS, sent now and read with `takesFocus`.
    Xcb::PendingProperty requestProtocols(xcb_window_t win) const;
    // Whether the protocols read list WM_TAKE_FOCUS.
    bool takesFocus(Xcb::PendingProperty protocols, std::string_view caller) const;

    // WM_DELETE_WINDOW; a client that ignores it stays open.
    void askToClose(xcb_window_t win, xcb_timestamp_t time) const;
    // WM_TAKE_FOCUS: the client sets the focus itself, to the window it chooses.
    void offerFocus(xcb_window_t win, xcb_timestamp_t time) const;

private:
    void send(xcb_window_t win, xcb_atom_t protocol, xcb_timestamp_t time) const;

    const Xcb::Connector& connector;
    xcb_atom_t wmProtocols = 0;
    xcb_atom_t wmDeleteWindow = 0;
    xcb_atom_t wmTakeFocus = 0;
};

}  // namespace Velk
