// The tests' own X client on plain libxcb: it makes the windows, properties
// and pixels that the code under test is then asked about, plays the kiosk
// program's part (top-level windows with the properties the rules look at,
// mapped, moved and withdrawn) and reads back what the server holds.  Every
// request is checked; a refused one throws std::runtime_error.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace VelkTest {

struct WindowSpec {
    int16_t x = 100;
    int16_t y = 100;
    uint16_t width = 640;
    uint16_t height = 480;
    // WM_CLASS instance and class; no property when the instance is empty.
    std::string instance = "velk-test";
    std::string className = "VelkTest";
    // WM_NAME; no property when empty.
    std::string name = "velk test window";
    // _NET_WM_WINDOW_TYPE atom names, e.g. "_NET_WM_WINDOW_TYPE_DIALOG".
    std::vector<std::string> types;
    std::string role;
    std::optional<uint32_t> pid;
    bool overrideRedirect = false;
};

struct Geometry {
    int x = -1;
    int y = -1;
    int width = 0;
    int height = 0;
    bool operator==(const Geometry& other) const {
        return x == other.x && y == other.y && width == other.width && height == other.height;
    }
};

std::string toString(const Geometry& geometry);

class XTestClient {
public:
    // Throws std::runtime_error when the display does not accept the client.
    explicit XTestClient(uint32_t display);

    xcb_connection_t* connection() const { return conn.get(); }
    xcb_window_t root() const { return screen->root; }
    xcb_atom_t atom(std::string_view name) const;
    // Waits until the server has run every request sent so far.
    void roundTrip() const;

    // An override-redirect window without properties, so no window manager
    // moves it; mapped when asked.
    xcb_window_t createBareWindow(int16_t x, int16_t y, uint16_t width, uint16_t height,
                                  bool mapped = false) const;
    // Created with the params's properties and WM_PROTOCOLS = WM_DELETE_WINDOW,
    // not mapped.
    xcb_window_t createWindow(const WindowSpec& params) const;
    void map(xcb_window_t win) const;
    void unmap(xcb_window_t win) const;
    void destroy(xcb_window_t win) const;
    void configure(xcb_window_t win, uint16_t mask, const std::vector<uint32_t>& values) const;

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

    // 0 when the window is gone.
    xcb_window_t parentOf(xcb_window_t win) const;
    // The window manager's frame around the window, or 0.
    xcb_window_t frameOf(xcb_window_t win) const;
    // Relative to the parent; {-1, -1, 0, 0} when gone.
    Geometry geometry(xcb_window_t win) const;
    // Mapped, whether or not its parents are.
    bool isMapped(xcb_window_t win) const;
    std::string netWmName(xcb_window_t win) const;
    xcb_window_t focus() const;
    // As a client that takes the focus itself (WM_TAKE_FOCUS) sets it, with
    // the time of the offer it acts on.
    void setFocus(xcb_window_t win, xcb_timestamp_t time = XCB_CURRENT_TIME) const;
    // The OR of every client's event selection on the root.
    uint32_t rootEventMasks() const;
    // Takes the root's substructure redirect as a window manager would;
    // false when someone else holds it.
    bool takeRootRedirect() const;

    // WM_DELETE_WINDOW messages received so far for the window (reads the
    // queued events).
    int deleteRequests(xcb_window_t win);
    // The last synthetic ConfigureNotify (the window manager's ICCCM answer,
    // in root coordinates) received so far for the window; needs
    // watchStructure first.
    std::optional<Geometry> syntheticConfigure(xcb_window_t win);
    void watchStructure(xcb_window_t win) const;

private:
    void check(xcb_void_cookie_t cookie, const char* request) const;
    void drainEvents();

    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> conn{nullptr, xcb_disconnect};
    xcb_screen_t* screen = nullptr;
    std::vector<xcb_window_t> deletedWindows;
    std::vector<std::pair<xcb_window_t, Geometry>> syntheticConfigures;
};

}  // namespace VelkTest
