// The test windows' wishes and what is read back; see client_wishes.h.
#include "client_wishes.h"

#include <chrono>
#include <cstdlib>
#include <memory>

#include "test_support.h"

namespace VelkTest {

namespace {

using namespace std::chrono_literals;

template <typename Reply>
std::unique_ptr<Reply, decltype(&std::free)> own(Reply* reply) {
    return {reply, std::free};
}

std::vector<xcb_window_t> childrenOf(const XTestClient& client, xcb_window_t win) {
    xcb_connection_t* conn = client.connection();
    auto tree = own(xcb_query_tree_reply(conn, xcb_query_tree(conn, win), nullptr));
    if (!tree) {
        return {};
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
}

}  // namespace

void askNoDecorations(const XTestClient& client, xcb_window_t win) {
    const xcb_atom_t hints = client.atom("_MOTIF_WM_HINTS");
    client.setWords(win, hints, hints, {2, 0, 0, 0, 0});
}

void askFullscreenState(const XTestClient& client, xcb_window_t win) {
    client.setWords(win, client.atom("_NET_WM_STATE"), XCB_ATOM_ATOM,
                    {client.atom("_NET_WM_STATE_FULLSCREEN")});
}

void sendFullscreenMessage(const XTestClient& client, xcb_window_t win, uint32_t action) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = win;
    message.type = client.atom("_NET_WM_STATE");
    message.data.data32[0] = action;
    message.data.data32[1] = client.atom("_NET_WM_STATE_FULLSCREEN");
    message.data.data32[3] = 1;  // a normal application
    xcb_send_event(client.connection(), 0, client.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    client.roundTrip();
}

void withdraw(const XTestClient& client, xcb_window_t win) {
    client.unmap(win);
    xcb_unmap_notify_event_t notify{};
    notify.response_type = XCB_UNMAP_NOTIFY;
    notify.event = client.root();
    notify.window = win;
    xcb_send_event(client.connection(), 0, client.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&notify));
    client.roundTrip();
}

void setTransientFor(const XTestClient& client, xcb_window_t win, xcb_window_t parent) {
    client.setWords(win, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, {parent});
}

void setFixedSize(const XTestClient& client, xcb_window_t win, uint32_t width, uint32_t height) {
    std::vector<uint32_t> hints(18, 0);
    hints[0] = 16 | 32;  // PMinSize, PMaxSize
    hints[5] = hints[7] = width;
    hints[6] = hints[8] = height;
    client.setWords(win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, hints);
}

void setUrgency(const XTestClient& client, xcb_window_t win, bool urgent) {
    client.setWords(win, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, {urgent ? 256U : 0U, 0, 0, 0, 0, 0, 0, 0, 0});
}

void setPositionHints(const XTestClient& client, xcb_window_t win, uint32_t flags, uint32_t gravity) {
    std::vector<uint32_t> hints(18, 0);
    hints[0] = flags;
    hints[17] = gravity;
    client.setWords(win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, hints);
}

std::vector<uint32_t> propertyWords(const XTestClient& client, xcb_window_t win, const std::string& name) {
    xcb_connection_t* conn = client.connection();
    auto reply = own(xcb_get_property_reply(
        conn, xcb_get_property(conn, 0, win, client.atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 64), nullptr));
    if (!reply || reply->format != 32) {
        return {};
    }
    const auto* words = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    return {words, words + xcb_get_property_value_length(reply.get()) / 4};
}

uint16_t borderWidthOf(const XTestClient& client, xcb_window_t win) {
    xcb_connection_t* conn = client.connection();
    auto reply = own(xcb_get_geometry_reply(conn, xcb_get_geometry(conn, win), nullptr));
    return reply ? reply->border_width : 0;
}

bool kioskSpeaksEwmh(const XTestClient& client) {
    return !propertyWords(client, client.root(), "_NET_SUPPORTING_WM_CHECK").empty();
}

EventHistory::EventHistory(uint32_t display) : watcher(display) {}

void EventHistory::watch(xcb_window_t win) const {
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_EXPOSURE;
    xcb_change_window_attributes(watcher.connection(), win, XCB_CW_EVENT_MASK, &mask);
    watcher.roundTrip();
}

std::vector<EventHistory::Seen> EventHistory::until(xcb_window_t win, uint8_t type) {
    std::vector<Seen> mine;
    const auto collect = [&] {
        while (auto event = own(xcb_poll_for_event(watcher.connection()))) {
            const uint8_t kind = event->response_type & 0x7f;
            if (kind == XCB_CONFIGURE_NOTIFY) {
                const auto* notify = reinterpret_cast<const xcb_configure_notify_event_t*>(event.get());
                seen.push_back(
                    {notify->window, {kind, {notify->x, notify->y, notify->width, notify->height}}});
            } else if (kind == XCB_MAP_NOTIFY) {
                seen.push_back(
                    {reinterpret_cast<const xcb_map_notify_event_t*>(event.get())->window, {kind, {}}});
            } else if (kind == XCB_EXPOSE) {
                seen.push_back(
                    {reinterpret_cast<const xcb_expose_event_t*>(event.get())->window, {kind, {}}});
            }
        }
        mine.clear();
        bool found = false;
        for (const auto& [window, event] : seen) {
            if (window == win) {
                mine.push_back(event);
                found = found || event.type == type;
            }
        }
        return found;
    };
    waitUntil(collect, 10s);
    return mine;
}

std::vector<FramedClient> framedClients(const XTestClient& client) {
    std::vector<FramedClient> found;
    for (const xcb_window_t frame : childrenOf(client, client.root())) {
        if (client.netWmName(frame) != "KIOSK_FRAME") {
            continue;
        }
        const std::vector<xcb_window_t> inside = childrenOf(client, frame);
        if (!inside.empty()) {
            found.push_back({frame, inside.front()});
        }
    }
    return found;
}

std::vector<FramedClient> waitForFramedClients(const XTestClient& client, size_t count) {
    std::vector<FramedClient> found;
    waitUntil(
        [&] {
            found = framedClients(client);
            return found.size() >= count;
        },
        20s);
    return found;
}

}  // namespace VelkTest
