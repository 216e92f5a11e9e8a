// What EWMH and ICCCM clients see of the kiosk, for its system tests: root and
// window properties read as words or bytes, the requests programs send to the
// root, the stacking of the root's children, and the events that reach the
// client that made a window (focus offers, close requests, replayed clicks).
#pragma once

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "x_test_client.h"

namespace VelkTest {

// A property's type (0 when missing) and its 32-bit items.
struct PropertyWords {
    xcb_atom_t type = 0;
    std::vector<uint32_t> words;
};
PropertyWords readWords(const XTestClient& client, xcb_window_t win, std::string_view property);
// The value bytes of a property of any type; empty when missing.
std::string readBytes(const XTestClient& client, xcb_window_t win, std::string_view property);
// The root's children, bottom to top.
std::vector<xcb_window_t> rootChildren(const XTestClient& client);
// The windows given, in the order in which they stand on the root, bottom to
// top: a managed client where its frame stands.
std::vector<xcb_window_t> stackedOrder(const XTestClient& client, const std::vector<xcb_window_t>& windows);
// Waits (bounded) until they stand in the order given, bottom to top.
::testing::AssertionResult stackSettles(const XTestClient& client, const std::vector<xcb_window_t>& expected);

// An EWMH request about the window, sent to the root as programs send it.
void sendRootMessage(const XTestClient& client, xcb_window_t win, std::string_view type,
                     const std::array<uint32_t, 5>& data);

// The events reaching `owner`, the client that made the windows asked
// about; nothing else may read owner's events meanwhile.
class ReceivedEvents {
public:
    explicit ReceivedEvents(const XTestClient& owner) : client(owner) {}

    // WM_PROTOCOLS messages of that protocol for the window so far.
    int protocolMessages(xcb_window_t win, std::string_view protocol);
    // The time the first such message carries; CurrentTime when none came.
    xcb_timestamp_t protocolTime(xcb_window_t win, std::string_view protocol);
    // Waits (bounded) for the first such message.
    bool waitForProtocol(xcb_window_t win, std::string_view protocol);
    // Selects button presses on the window (only one client may).
    void watchButtons(xcb_window_t win) const;
    // Waits (bounded) until a button press reached the window.
    bool waitForButtonPress(xcb_window_t win);

private:
    void drain();

    const XTestClient& client;
    std::vector<std::pair<xcb_window_t, xcb_atom_t>> protocols;
    std::vector<xcb_timestamp_t> times;
    std::vector<xcb_window_t> presses;
};

}  // namespace VelkTest
