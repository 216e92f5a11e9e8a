// The WM_PROTOCOLS messages to clients; see client_protocols.h.
#include "velk_kiosk/client_protocols.h"

namespace Velk {

ClientProtocols::ClientProtocols(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms)
    : connector(xConnector), atoms(kioskAtoms) {}

void ClientProtocols::askToClose(xcb_window_t win, xcb_timestamp_t time) const {
    send(win, atoms.wmDeleteWindow, time);
}

void ClientProtocols::offerFocus(xcb_window_t win, xcb_timestamp_t time) const {
    send(win, atoms.wmTakeFocus, time);
}

// An empty event mask sends the message to the client that made the window.
void ClientProtocols::send(xcb_window_t win, xcb_atom_t protocol, xcb_timestamp_t time) const {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = win;
    message.type = atoms.wmProtocols;
    message.data.data32[0] = protocol;
    message.data.data32[1] = time;
    xcb_send_event(connector.connection(), 0, win, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(connector.connection());
}

}  // namespace Velk
