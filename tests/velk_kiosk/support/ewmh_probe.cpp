// The EWMH and ICCCM probes of the kiosk's tests; see ewmh_probe.h.
#include "ewmh_probe.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "test_support.h"

namespace VelkTest {

using namespace std::chrono_literals;

namespace {

template <typename Reply>
std::unique_ptr<Reply, decltype(&std::free)> own(Reply* reply) {
    return {reply, std::free};
}

auto readProperty(const XTestClient& client, xcb_window_t win, std::string_view property) {
    xcb_connection_t* conn = client.connection();
    return own(xcb_get_property_reply(
        conn, xcb_get_property(conn, 0, win, client.atom(property), XCB_GET_PROPERTY_TYPE_ANY, 0, 4096),
        nullptr));
}

}  // namespace

PropertyWords readWords(const XTestClient& client, xcb_window_t win, std::string_view property) {
    const auto reply = readProperty(client, win, property);
    PropertyWords result;
    if (!reply || reply->format != 32) {
        result.type = reply ? reply->type : 0;
        return result;
    }
    result.type = reply->type;
    const auto* words = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    result.words.assign(words, words + xcb_get_property_value_length(reply.get()) / 4);
    return result;
}

std::string readBytes(const XTestClient& client, xcb_window_t win, std::string_view property) {
    const auto reply = readProperty(client, win, property);
    if (!reply) {
        return {};
    }
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       static_cast<size_t>(xcb_get_property_value_length(reply.get())));
}

std::vector<xcb_window_t> rootChildren(const XTestClient& client) {
    xcb_connection_t* conn = client.connection();
    const auto tree = own(xcb_query_tree_reply(conn, xcb_query_tree(conn, client.root()), nullptr));
    if (!tree) {
        return {};
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
}

std::vector<xcb_window_t> stackedOrder(const XTestClient& client, const std::vector<xcb_window_t>& windows) {
    std::vector<std::pair<xcb_window_t, xcb_window_t>> standing;
    for (const xcb_window_t win : windows) {
        const xcb_window_t frame = client.frameOf(win);
        standing.emplace_back(frame != 0 ? frame : win, win);
    }
    std::vector<xcb_window_t> order;
    for (const xcb_window_t child : rootChildren(client)) {
        for (const auto& [outer, win] : standing) {
            if (outer == child) {
                order.push_back(win);
            }
        }
    }
    return order;
}

::testing::AssertionResult stackSettles(const XTestClient& client,
                                        const std::vector<xcb_window_t>& expected) {
    std::vector<xcb_window_t> last;
    if (waitUntil([&] { return (last = stackedOrder(client, expected)) == expected; }, 10s)) {
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult failure = ::testing::AssertionFailure() << "stacked bottom to top:";
    for (const xcb_window_t win : last) {
        failure << ' ' << std::hex << win;
    }
    failure << ", expected:";
    for (const xcb_window_t win : expected) {
        failure << ' ' << std::hex << win;
    }
    return failure;
}

void sendRootMessage(const XTestClient& client, xcb_window_t win, std::string_view type,
                     const std::array<uint32_t, 5>& data) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = win;
    message.type = client.atom(type);
    std::copy(data.begin(), data.end(), message.data.data32);
    xcb_connection_t* conn = client.connection();
    xcb_send_event(conn, 0, client.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    client.roundTrip();
}

void ReceivedEvents::drain() {
    const xcb_atom_t wmProtocols = client.atom("WM_PROTOCOLS");
    while (xcb_generic_event_t* event = xcb_poll_for_event(client.connection())) {
        const uint8_t type = event->response_type & ~0x80;
        if (type == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (message->type == wmProtocols && message->format == 32) {
                protocols.emplace_back(message->window, message->data.data32[0]);
                times.push_back(message->data.data32[1]);
            }
        } else if (type == XCB_BUTTON_PRESS) {
            presses.push_back(reinterpret_cast<const xcb_button_press_event_t*>(event)->event);
        }
        std::free(event);
    }
}

int ReceivedEvents::protocolMessages(xcb_window_t win, std::string_view protocol) {
    drain();
    const std::pair<xcb_window_t, xcb_atom_t> wanted(win, client.atom(protocol));
    return static_cast<int>(std::count(protocols.begin(), protocols.end(), wanted));
}

xcb_timestamp_t ReceivedEvents::protocolTime(xcb_window_t win, std::string_view protocol) {
    drain();
    const std::pair<xcb_window_t, xcb_atom_t> wanted(win, client.atom(protocol));
    const auto first = std::find(protocols.begin(), protocols.end(), wanted);
    return first == protocols.end() ? XCB_CURRENT_TIME
                                    : times[static_cast<size_t>(first - protocols.begin())];
}

bool ReceivedEvents::waitForProtocol(xcb_window_t win, std::string_view protocol) {
    return waitUntil([&] { return protocolMessages(win, protocol) > 0; }, 10s);
}

void ReceivedEvents::watchButtons(xcb_window_t win) const {
    const uint32_t mask = XCB_EVENT_MASK_BUTTON_PRESS;
    xcb_generic_error_t* error = xcb_request_check(
        client.connection(),
        xcb_change_window_attributes_checked(client.connection(), win, XCB_CW_EVENT_MASK, &mask));
    const bool refused = error != nullptr;
    std::free(error);
    if (refused) {
        throw std::runtime_error("ReceivedEvents: cannot select button presses");
    }
}

bool ReceivedEvents::waitForButtonPress(xcb_window_t win) {
    return waitUntil(
        [&] {
            drain();
            return std::find(presses.begin(), presses.end(), win) != presses.end();
        },
        10s);
}

}  // namespace VelkTest
