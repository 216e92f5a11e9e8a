// The tests' own X client; see x_test_client.h.
#include "x_test_client.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace VelkTest {

namespace {

constexpr uint32_t bytesPerPixel = 4;

}  // namespace

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
    const auto cookie = xcb_intern_atom(conn.get(), 0, static_cast<uint16_t>(name.size()), name.data());
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(conn.get(), cookie, nullptr);
    if (!reply) {
        throw std::runtime_error("XTestClient: intern atom failed");
    }
    const xcb_atom_t result = reply->atom;
    std::free(reply);
    return result;
}

xcb_window_t XTestClient::createWindow(int16_t x, int16_t y, uint16_t width, uint16_t height,
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

void XTestClient::destroyWindow(xcb_window_t win) const {
    check(xcb_destroy_window_checked(conn.get(), win), "destroy window");
}

void XTestClient::setBytes(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type, std::string_view bytes) const {
    check(xcb_change_property_checked(conn.get(), XCB_PROP_MODE_REPLACE, win, prop, type, 8,
                                      static_cast<uint32_t>(bytes.size()), bytes.data()),
          "change property");
}

void XTestClient::setWords(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type,
                           const std::vector<uint32_t>& words) const {
    check(xcb_change_property_checked(conn.get(), XCB_PROP_MODE_REPLACE, win, prop, type, 32,
                                      static_cast<uint32_t>(words.size()), words.data()),
          "change property");
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
