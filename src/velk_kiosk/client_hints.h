// What a client's own properties ask of the window manager, read from the
// property bytes: no decorations (_MOTIF_WM_HINTS), a place of its own
// (WM_NORMAL_HINTS), an atom in a list (_NET_WM_STATE, _NET_WM_WINDOW_TYPE)
// and the window it belongs to (WM_TRANSIENT_FOR).  No X requests here.
#pragma once

#include <cstdint>
#include <string_view>

#include "xcb/xcb.h"

namespace Velk {

// The decorations field is set (flags bit 1) and 0.
bool asksNoDecorations(std::string_view motifHints);

// USPosition or PPosition is set and the window does not stand at 0,0, where
// toolkits leave windows they did not place.
bool hasOwnPosition(std::string_view normalHints, const Xcb::Rect& geometry);

// The window's gravity (WM_NORMAL_HINTS win_gravity when PWinGravity is set),
// NorthWest when it names none.
uint32_t windowGravity(std::string_view normalHints);

bool listsAtom(std::string_view atoms, xcb_atom_t atom);

// The first window of the value; 0 when none.
xcb_window_t firstWindow(std::string_view windows);

}  // namespace Velk
