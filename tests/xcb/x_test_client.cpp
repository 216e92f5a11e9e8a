// The tests' own X client; see x_test_client.h.
#include "x_test_client.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace VelkTest {

namespace {

constexpr uint32_t bytesPerPixel = 4;

template <typename Reply>
std::unique_ptr<Reply, decltype(&std::free)> own(Reply* reply) {
    return {reply, std::free};
}

}  // namespace

std::string toString(const Geometry& geometry) {
    return std::to_string(geometry.x) + "," + std::to_string(geometry.y) + " " +
           std::to_string(geometry.width) + "x" + std::to_string(geometry.height);
}

XTestClient::XTestClient(uint32_t display) {
    const std::string name = ":" + std::to_string(display);
    conn.reset(xcb_connect(name.c_str(), nullptr));
    if (xcb_connection_has_error(conn.get())) {
        throw std::runtime_error("XTestClient: cannot connect to " + name);
    }
    screen = xcb_setup_roots_iterator(xcb_get_setup(conn.get())).data;
}

void XTestClient::check(xcb_void_cookie_t cookie, const char* request) const {
    xcb_generic_error_t* error = xcb_request_check(conn.get(), cookie);
    if (error) {
        const int code = error->error_code;
        std::free(error);
        throw std::runtime_error(std::string("XTestClient: ") + request + " failed, code " +
                                 std::to_string(code));
    }
}

xcb_atom_t XTestClient::atom(std::string_view name) const {
    auto reply = own(xcb_intern_atom_reply(
        conn.get(), xcb_intern_atom(conn.get(), 0, static_cast<uint16_t>(name.size()), name.data()),
        nullptr));
    if (!reply) {
        throw std::runtime_error("XTestClient: intern atom failed");
    }
    return reply->atom;
}

xcb_window_t XTestClient::createWindow(const WindowSpec& params) const {
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

void XTestClient::map(xcb_window_t win) const {
    check(xcb_map_window_checked(conn.get(), win), "map window");
}

void XTestClient::unmap(xcb_window_t win) const {
    check(xcb_unmap_window_checked(conn.get(), win), "unmap window");
}

void XTestClient::destroy(xcb_window_t win) const {
    check(xcb_destroy_window_checked(conn.get(), win), "destroy window");
}

void XTestClient::configure(xcb_window_t win, uint16_t mask, const std::vector<uint32_t>& values) const {
    check(xcb_configure_window_checked(conn.get(), win, mask, values.data()), "configure window");
}

void XTestClient::setWords(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type,
                           const std::vector<uint32_t>& words) const {
    check(xcb_change_property_checked(conn.get(), XCB_PROP_MODE_REPLACE, win, prop, type, 32,
                                      static_cast<uint32_t>(words.size()), words.data()),
          "change property");
}

void XTestClient::setBytes(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type, std::string_view bytes) const {
    check(xcb_change_property_checked(conn.get(), XCB_PROP_MODE_REPLACE, win, prop, type, 8,
                                      static_cast<uint32_t>(bytes.size()), bytes.data()),
          "change property");
}

xcb_window_t XTestClient::parentOf(xcb_window_t win) const {
    auto reply = own(xcb_query_tree_reply(conn.get(), xcb_query_tree(conn.get(), win), nullptr));
    return reply ? reply->parent : 0;
}

xcb_window_t XTestClient::frameOf(xcb_window_t win) const {
    const xcb_window_t parent = parentOf(win);
    return parent != 0 && parent != root() && netWmName(parent) == "KIOSK_FRAME" ? parent : 0;
}

Geometry XTestClient::geometry(xcb_window_t win) const {
    auto reply = own(xcb_get_geometry_reply(conn.get(), xcb_get_geometry(conn.get(), win), nullptr));
    return reply ? Geometry{reply->x, reply->y, reply->width, reply->height} : Geometry{};
}

std::string XTestClient::netWmName(xcb_window_t win) const {
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

void XTestClient::setFocus(xcb_window_t win, xcb_timestamp_t time) const {
    check(xcb_set_input_focus_checked(conn.get(), XCB_INPUT_FOCUS_POINTER_ROOT, win, time),
          "set input focus");
}

xcb_window_t XTestClient::focus() const {
    auto reply = own(xcb_get_input_focus_reply(conn.get(), xcb_get_input_focus(conn.get()), nullptr));
    return reply ? reply->focus : 0;
}

uint32_t XTestClient::rootEventMasks() const {
    auto reply = own(
        xcb_get_window_attributes_reply(conn.get(), xcb_get_window_attributes(conn.get(), root()), nullptr));
    return reply ? reply->all_event_masks : 0;
}

bool XTestClient::takeRootRedirect() const {
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
    xcb_generic_error_t* error = xcb_request_check(
        conn.get(), xcb_change_window_attributes_checked(conn.get(), root(), XCB_CW_EVENT_MASK, &mask));
    std::free(error);
    return error == nullptr;
}

void XTestClient::drainEvents() {
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

int XTestClient::deleteRequests(xcb_window_t win) {
    drainEvents();
    return static_cast<int>(std::count(deletedWindows.begin(), deletedWindows.end(), win));
}

std::optional<Geometry> XTestClient::syntheticConfigure(xcb_window_t win) {
    drainEvents();
    for (auto at = syntheticConfigures.rbegin(); at != syntheticConfigures.rend(); ++at) {
        if (at->first == win) {
            return at->second;
        }
    }
    return std::nullopt;
}

void XTestClient::watchStructure(xcb_window_t win) const {
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    check(xcb_change_window_attributes_checked(conn.get(), win, XCB_CW_EVENT_MASK, &mask), "select events");
}

xcb_window_t XTestClient::createBareWindow(int16_t x, int16_t y, uint16_t width, uint16_t height,
                                           bool mapped) const {
    const xcb_window_t win = xcb_generate_id(conn.get());
    const uint32_t values[] = {1};
    check(xcb_create_window_checked(conn.get(), XCB_COPY_FROM_PARENT, win, screen->root, x, y, width, height,
                                    0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                                    XCB_CW_OVERRIDE_REDIRECT, values),
          "create window");
    if (mapped) {
        check(xcb_map_window_checked(conn.get(), win), "map window");
    }
    return win;
}

void XTestClient::roundTrip() const {
    std::free(xcb_get_input_focus_reply(conn.get(), xcb_get_input_focus(conn.get()), nullptr));
}

bool XTestClient::isMapped(xcb_window_t win) const {
    auto reply =
        own(xcb_get_window_attributes_reply(conn.get(), xcb_get_window_attributes(conn.get(), win), nullptr));
    return reply && reply->map_state != XCB_MAP_STATE_UNMAPPED;
}

void XTestClient::deleteProperty(xcb_window_t win, xcb_atom_t prop) const {
    check(xcb_delete_property_checked(conn.get(), win, prop), "delete property");
}

void XTestClient::putPixels(xcb_window_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t height,
                            const std::vector<uint8_t>& pixels) const {
    const uint32_t rowBytes = width * bytesPerPixel;
    if (pixels.size() != size_t{rowBytes} * height) {
        throw std::invalid_argument("XTestClient: pixel count does not match the area");
    }
    const xcb_gcontext_t gc = xcb_generate_id(conn.get());
    check(xcb_create_gc_checked(conn.get(), gc, drawable, 0, nullptr), "create gc");
    // The maximum counts 4-byte units; taken as bytes it leaves ample room for
    // the request header.
    const uint32_t putBytes = xcb_get_maximum_request_length(conn.get());
    const auto rowsPerPut = static_cast<uint16_t>(std::clamp<uint32_t>(putBytes / rowBytes, 1, height));
    for (uint16_t row = 0; row < height; row = static_cast<uint16_t>(row + rowsPerPut)) {
        const auto rows = static_cast<uint16_t>(std::min<uint32_t>(rowsPerPut, height - row));
        check(xcb_put_image_checked(conn.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, gc, width, rows, x,
                                    static_cast<int16_t>(y + row), 0, screen->root_depth, rows * rowBytes,
                                    pixels.data() + size_t{row} * rowBytes),
              "put image");
    }
    xcb_free_gc(conn.get(), gc);
}

}  // namespace VelkTest
