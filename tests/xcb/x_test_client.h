// A second X client for tests, on plain libxcb: it makes the windows,
// properties and pixels that the code under test is then asked about.  Every
// request is checked; a refused one throws std::runtime_error.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace VelkTest {

class XTestClient {
public:
    // Throws std::runtime_error when the display does not accept the client.
    explicit XTestClient(uint32_t display);

    xcb_connection_t* connection() const { return conn.get(); }
    xcb_window_t root() const { return screen->root; }

    xcb_atom_t atom(std::string_view name) const;

    // An override-redirect window, so no window manager moves it; mapped when asked.
    xcb_window_t createWindow(int16_t x, int16_t y, uint16_t width, uint16_t height,
                              bool mapped = false) const;
    void destroyWindow(xcb_window_t win) const;

    // Property of 8-bit items, bytes as given (NULs included).
    void setBytes(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type, std::string_view bytes) const;
    // Property of 32-bit items.
    void setWords(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type,
                  const std::vector<uint32_t>& words) const;
    void deleteProperty(xcb_window_t win, xcb_atom_t prop) const;

    // ZPixmap pixels of the root depth drawn into the drawable, row after row
    // of width * 4 bytes (the 32-bit pixels of a depth-24 screen), sent in
    // pieces small enough for one request each.
    void putPixels(xcb_window_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t height,
                   const std::vector<uint8_t>& pixels) const;

private:
    void check(xcb_void_cookie_t cookie, const char* request) const;

    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> conn{nullptr, xcb_disconnect};
    xcb_screen_t* screen = nullptr;
};

}  // namespace VelkTest
