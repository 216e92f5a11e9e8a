// The tests' window client; see kiosk_client.h.
#include "kiosk_client.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "test_support.h"

namespace VelkTest {

namespace {

template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
ReplyPtr<Reply> own(Reply* reply) {
    return ReplyPtr<Reply>(reply, std::free);
}

constexpr auto settleTimeout = std::chrono::seconds(10);

}  // namespace

std::string toString(const Geometry& geometry) {
    return std::to_string(geometry.x) + "," + std::to_string(geometry.y) + " " +
           std::to_string(geometry.width) + "x" + std::to_string(geometry.height);
}

KioskClient::KioskClient(uint32_t display) {
    const std::string name = ":" + std::to_string(display);
    conn.reset(xcb_connect(name.c_str(), nullptr));
    if (xcb_connection_has_error(conn.get())) {
        throw std::runtime_error("KioskClient: cannot connect to " + name);
    }
    screen = xcb_setup_roots_iterator(xcb_get_setup(conn.get())).data;
}

void KioskClient::check(xcb_void_cookie_t cookie, const char* request) const {
    xcb_generic_error_t* error = xcb_request_check(conn.get(), cookie);
    if (error) {
        const int code = error->error_code;
        std::free(error);
        throw std::runtime_error(std::string("KioskClient: ") + request + " failed, code " +
                                 std::to_string(code));
    }
}

xcb_atom_t KioskClient::atom(std::string_view name) const {
    auto reply = own(xcb_intern_atom_reply(
        conn.get(), xcb_intern_atom(conn.get(), 0, static_cast<uint16_t>(name.size()), name.data()),
        nullptr));
    if (!reply) {
        throw std::runtime_error("KioskClient: intern atom failed");
    }
    return reply->atom;
}

xcb_window_t KioskClient::createWindow(const WindowSpec& params) const {
    const xcb_window_t win = xcb_generate_id(conn.get());
    const uint32_t values[] = {0x00FFFFFF, params.overrideRedirect ? 1U : 0U};
    check(
        xcb_create_window_checked(conn.get(), XCB_COPY_FROM_PARENT, win, screen->root, params.x, params.y,
                                  params.width, params.height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                                  screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values),
        "create window");
    if (!params.instance.empty()) {
        const std::string wmClass = params.instance + '\0' + params.className + '\0';
        setBytes(win, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, wmClass);
    }
    if (!params.name.empty()) {
        setBytes(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, params.name);
    }
    if (!params.types.empty()) {
        std::vector<uint32_t> atoms;
        for (const auto& type : params.types) {
            atoms.push_back(atom(type));
        }
        setWords(win, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, atoms);
    }
    if (!params.role.empty()) {
        setBytes(win, atom("WM_WINDOW_ROLE"), XCB_ATOM_STRING, params.role);
    }
    if (params.pid) {
        setWords(win, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, {*params.pid});
    }
    setWords(win, atom("WM_PROTOCOLS"), XCB_ATOM_ATOM, {atom("WM_DELETE_WINDOW")});
    return win;
}

void KioskClient::map(xcb_window_t win) const {
    check(xcb_map_window_checked(conn.get(), win), "map window");
}

void KioskClient::unmap(xcb_window_t win) const {
    check(xcb_unmap_window_checked(conn.get(), win), "unmap window");
}

void KioskClient::destroy(xcb_window_t win) const {
    check(xcb_destroy_window_checked(conn.get(), win), "destroy window");
}

void KioskClient::configure(xcb_window_t win, uint16_t mask, const std::vector<uint32_t>& values) const {
    check(xcb_configure_window_checked(conn.get(), win, mask, values.data()), "configure window");
}

void KioskClient::setWords(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type,
                           const std::vector<uint32_t>& words) const {
    check(xcb_change_property_checked(conn.get(), XCB_PROP_MODE_REPLACE, win, prop, type, 32,
                                      static_cast<uint32_t>(words.size()), words.data()),
          "change property");
}

void KioskClient::setBytes(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type, std::string_view bytes) const {
    check(xcb_change_property_checked(conn.get(), XCB_PROP_MODE_REPLACE, win, prop, type, 8,
                                      static_cast<uint32_t>(bytes.size()), bytes.data()),
          "change property");
}

xcb_window_t KioskClient::parentOf(xcb_window_t win) const {
    auto reply = own(xcb_query_tree_reply(conn.get(), xcb_query_tree(conn.get(), win), nullptr));
    return reply ? reply->parent : 0;
}

xcb_window_t KioskClient::frameOf(xcb_window_t win) const {
    const xcb_window_t parent = parentOf(win);
    return parent != 0 && parent != root() && netWmName(parent) == "KIOSK_FRAME" ? parent : 0;
}

Geometry KioskClient::geometry(xcb_window_t win) const {
    auto reply = own(xcb_get_geometry_reply(conn.get(), xcb_get_geometry(conn.get(), win), nullptr));
    return reply ? Geometry{reply->x, reply->y, reply->width, reply->height} : Geometry{};
}

std::string KioskClient::netWmName(xcb_window_t win) const {
    auto reply = own(xcb_get_property_reply(
        conn.get(),
        xcb_get_property(conn.get(), 0, win, atom("_NET_WM_NAME"), XCB_GET_PROPERTY_TYPE_ANY, 0, 64),
        nullptr));
    if (!reply) {
        return {};
    }
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       static_cast<size_t>(xcb_get_property_value_length(reply.get())));
}

xcb_window_t KioskClient::focus() const {
    auto reply = own(xcb_get_input_focus_reply(conn.get(), xcb_get_input_focus(conn.get()), nullptr));
    return reply ? reply->focus : 0;
}

uint32_t KioskClient::rootEventMasks() const {
    auto reply = own(
        xcb_get_window_attributes_reply(conn.get(), xcb_get_window_attributes(conn.get(), root()), nullptr));
    return reply ? reply->all_event_masks : 0;
}

bool KioskClient::takeRootRedirect() const {
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
    xcb_generic_error_t* error = xcb_request_check(
        conn.get(), xcb_change_window_attributes_checked(conn.get(), root(), XCB_CW_EVENT_MASK, &mask));
    std::free(error);
    return error == nullptr;
}

void KioskClient::drainEvents() {
    const xcb_atom_t protocols = atom("WM_PROTOCOLS");
    const xcb_atom_t deleteWindow = atom("WM_DELETE_WINDOW");
    while (xcb_generic_event_t* event = xcb_poll_for_event(conn.get())) {
        if (event->response_type == (XCB_CONFIGURE_NOTIFY | 0x80)) {
            const auto* notify = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
            syntheticConfigures.emplace_back(notify->window,
                                             Geometry{notify->x, notify->y, notify->width, notify->height});
        }
        if ((event->response_type & ~0x80) == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (message->type == protocols && message->format == 32 &&
                message->data.data32[0] == deleteWindow) {
                deletedWindows.push_back(message->window);
            }
        }
        std::free(event);
    }
}

int KioskClient::deleteRequests(xcb_window_t win) {
    drainEvents();
    return static_cast<int>(std::count(deletedWindows.begin(), deletedWindows.end(), win));
}

std::optional<Geometry> KioskClient::syntheticConfigure(xcb_window_t win) {
    drainEvents();
    for (auto at = syntheticConfigures.rbegin(); at != syntheticConfigures.rend(); ++at) {
        if (at->first == win) {
            return at->second;
        }
    }
    return std::nullopt;
}

void KioskClient::watchStructure(xcb_window_t win) const {
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    check(xcb_change_window_attributes_checked(conn.get(), win, XCB_CW_EVENT_MASK, &mask), "select events");
}

xcb_window_t waitForFrame(const KioskClient& client, xcb_window_t win) {
    xcb_window_t frame = 0;
    waitUntil(
        [&] {
            frame = client.frameOf(win);
            return frame != 0;
        },
        settleTimeout);
    return frame;
}

bool waitForGeometry(const KioskClient& client, xcb_window_t win, const Geometry& expected, Geometry* last) {
    Geometry seen;
    const bool reached = waitUntil(
        [&] {
            seen = client.geometry(win);
            return seen == expected;
        },
        settleTimeout);
    if (last) {
        *last = seen;
    }
    return reached;
}

}  // namespace VelkTest
