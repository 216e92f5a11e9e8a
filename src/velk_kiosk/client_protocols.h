// The ICCCM messages the kiosk sends to its clients through WM_PROTOCOLS:
// the request to close a window and the offer of the focus.
#pragma once

#include <cstdint>

#include "velk_kiosk/kiosk_atoms.h"
#include "xcb/xcb.h"

namespace Velk {

class ClientProtocols {
public:
    ClientProtocols(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms);

    // WM_DELETE_WINDOW; a client that ignores it stays open.
    void askToClose(xcb_window_t win, xcb_timestamp_t time) const;
    // WM_TAKE_FOCUS: the client sets the focus itself, to the window it chooses.
    void offerFocus(xcb_window_t win, xcb_timestamp_t time) const;

private:
    void send(xcb_window_t win, xcb_atom_t protocol, xcb_timestamp_t time) const;

    const Xcb::Connector& connector;
    const KioskAtoms& atoms;
};

}  // namespace Velk
