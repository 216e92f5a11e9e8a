// What a test's window asks of the window manager beyond what WindowSpec
// sets (Motif decorations, the EWMH full-screen state, a transient parent, a
// position of its own, an X border), the EWMH messages it sends, what it
// reads back (32-bit property items, its X border), the events it sees, and
// the frames on the screen with the clients inside them.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "x_test_client.h"

namespace VelkTest {

// _MOTIF_WM_HINTS with the decorations field set and 0.
void askNoDecorations(const XTestClient& client, xcb_window_t win);
// _NET_WM_STATE = _NET_WM_STATE_FULLSCREEN, as a client sets it before its map.
void askFullscreenState(const XTestClient& client, xcb_window_t win);
// The EWMH request to change the full-screen state: 0 remove, 1 add, 2 toggle.
void sendFullscreenMessage(const XTestClient& client, xcb_window_t win, uint32_t action);
// The ICCCM withdrawal: the unmap, and the synthetic UnmapNotify on the root
// that reaches the window manager also for a window it has not shown yet.
void withdraw(const XTestClient& client, xcb_window_t win);
void setTransientFor(const XTestClient& client, xcb_window_t win, xcb_window_t parent);
// WM_NORMAL_HINTS with only these flags (1 USPosition, 4 PPosition, 512
// PWinGravity) and that window gravity.
void setPositionHints(const XTestClient& client, xcb_window_t win, uint32_t flags, uint32_t gravity = 0);
// WM_NORMAL_HINTS with the same minimum and maximum size: it cannot be resized.
void setFixedSize(const XTestClient& client, xcb_window_t win, uint32_t width, uint32_t height);
// WM_HINTS with the urgency flag set or not (and nothing else).
void setUrgency(const XTestClient& client, xcb_window_t win, bool urgent);

// The property's 32-bit items; empty when it is missing.
std::vector<uint32_t> propertyWords(const XTestClient& client, xcb_window_t win, const std::string& name);
uint16_t borderWidthOf(const XTestClient& client, xcb_window_t win);
// Whether the root's _NET_SUPPORTING_WM_CHECK is set: the kiosk answers EWMH messages.
bool kioskSpeaksEwmh(const XTestClient& client);

// The map, configure and expose events of windows, in order, on a
// connection of its own so the test client's reads take none of them.
class EventHistory {
public:
    explicit EventHistory(uint32_t display);
    // From now on: structure and exposure events of the window.
    void watch(xcb_window_t win) const;
    struct Seen {
        uint8_t type;
        Geometry geometry;  // of ConfigureNotify
    };
    // The window's events so far, waiting (bounded) until one of `type` came.
    std::vector<Seen> until(xcb_window_t win, uint8_t type);

private:
    XTestClient watcher;
    std::vector<std::pair<xcb_window_t, Seen>> seen;
};

struct FramedClient {
    xcb_window_t frame;
    xcb_window_t client;
};
// Every frame on the root, bottom to top, with its client.
std::vector<FramedClient> framedClients(const XTestClient& client);
// Waits (bounded) until at least `count` frames hold a client.
std::vector<FramedClient> waitForFramedClients(const XTestClient& client, size_t count);

}  // namespace VelkTest
