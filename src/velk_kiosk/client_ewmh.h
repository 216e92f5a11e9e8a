// The one owner of a managed client's EWMH properties: its states
// (_NET_WM_STATE: those the kiosk acts on and those it only keeps), what the
// kiosk allows the user to do with it (_NET_WM_ALLOWED_ACTIONS), its desktop
// (_NET_WM_DESKTOP, always the one there is), its frame extents
// (_NET_FRAME_EXTENTS) and the monitors it spans in the full-screen state
// (_NET_WM_FULLSCREEN_MONITORS, once it asked for them).  The record holds them; publish writes back, whole,
// every property whose value is not what the client's window shows.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "velk_kiosk/kiosk_atoms.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

// The states after a _NET_WM_STATE request: action 0 removes, 1 adds, 2
// toggles each of the two states named (0 names none).  A state the kiosk
// does not act on is not taken from a request.
WindowStates requestedStates(const WindowStates& states, uint32_t action, xcb_atom_t first, xcb_atom_t second,
                             const KioskAtoms& atoms);
// The property's atoms for the states: those kept, then those acted on.
std::vector<xcb_atom_t> stateAtoms(const WindowStates& states, const KioskAtoms& atoms);
// What the user may do with the window: close it, change its full-screen
// state and its layer, and, unless it is held at full screen, move it and
// (unless it cannot be resized) resize it.
std::vector<xcb_atom_t> allowedActions(const WmWindow& window, const KioskAtoms& atoms);

class ClientEwmh {
public:
    ClientEwmh(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms);

    // The states a client listed before its map, as they stand in the
    // property: the ones the kiosk acts on become flags, the others are kept.
    void adoptStates(WmWindow& window, std::string_view stateBytes) const;
    // Writes each property of the window whose value differs from what the
    // window shows.
    void publish(WmWindow& window) const;
    // _NET_FRAME_EXTENTS of a window that is not managed yet
    // (_NET_REQUEST_FRAME_EXTENTS): the decoration it would get.
    void publishExtents(xcb_window_t win, const FrameMetrics& metrics) const;
    // A withdrawn client keeps no state of the kiosk's: mapped again, it
    // starts afresh.
    void withdraw(const WmWindow& window) const;

private:
    void write(xcb_window_t win, xcb_atom_t property, xcb_atom_t type,
               const std::vector<uint32_t>& values) const;

    const Xcb::Connector& connector;
    const KioskAtoms& atoms;
};

}  // namespace Velk
