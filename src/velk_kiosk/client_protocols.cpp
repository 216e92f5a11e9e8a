// The WM_PROTOCOLS messages to clients; see client_protocols.h.
#include "velk_kiosk/client_protocols.h"

#include <cstring>
#include <vector>

namespace Velk {

ClientProtocols::ClientProtocols(const Xcb::Connector& xConnector) : connector(xConnector) {
    const std::vector<xcb_atom_t> atoms =
        connector.getAtoms({"WM_PROTOCOLS", "WM_DELETE_WINDOW", "WM_TAKE_FOCUS"}, true);
    wmProtocols = atoms[0];
    wmDeleteWindow = atoms[1];
    wmTakeFocus = atoms[2];
}

Xcb::PendingProperty ClientProtocols::requestProtocols(xcb_window_t win) const {
    return connector.requestProperty(win, wmProtocols, XCB_ATOM_ATOM);
}

bool ClientProtocols::takesFocus(Xcb::PendingProperty protocols, std::string_view caller) const {
    const std::string bytes = connector.collectProperty(std::move(protocols), caller);
    for (size_t at = 0; at + sizeof(xcb_atom_t) <= bytes.size(); at += sizeof(xcb_atom_t)) {
        xcb_atom_t listed = 0;
        std::memcpy(&listed, bytes.data() + at, sizeof(listed));
        if (listed == wmTakeFocus) {
            return true;
        }
    }
    return false;
}

void ClientProtocols::askToClose(xcb_window_t win, xcb_timestamp_t time) const {
    send(win, wmDeleteWindow, time);
}

void ClientProtocols::offerFocus(xcb_window_t win, xcb_timestamp_t time) const {
    send(win, wmTakeFocus, time);
}

// An empty event mask sends the message to the client that made the window.
void ClientProtocols::send(xcb_window_t win, xcb_atom_t protocol, xcb_timestamp_t time) const {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = win;
    message.type = wmProtocols;
    message.data.data32[0] = protocol;
    message.data.data32[1] = time;
    xcb_send_event(connector.connection(), 0, win, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(connector.connection());
}

}  // namespace Velk
