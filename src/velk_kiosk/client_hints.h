// What a client's own properties ask of the window manager, read from the
// property bytes: no decorations (_MOTIF_WM_HINTS), a place of its own and a
// size that cannot change (WM_NORMAL_HINTS), its input model, urgency and
// group (WM_HINTS), an atom in a list (_NET_WM_STATE, _NET_WM_WINDOW_TYPE,
// WM_PROTOCOLS) and the window it belongs to (WM_TRANSIENT_FOR).  No X
// requests here.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "xcb/xcb.h"

namespace Velk {

// How much of each hint property is read, in 32-bit units: the Motif hints
// are five words, the ICCCM size hints eighteen.
constexpr uint32_t motifHintsWords = 5;
constexpr uint32_t sizeHintsWords = 18;

// The decorations field is set (flags bit 1) and 0.
bool asksNoDecorations(std::string_view motifHints);

// USPosition or PPosition is set and the window does not stand at 0,0, where
// toolkits leave windows they did not place.
bool hasOwnPosition(std::string_view normalHints, const Xcb::Rect& geometry);

// The window's gravity (WM_NORMAL_HINTS win_gravity when PWinGravity is set),
// NorthWest when it names none.
uint32_t windowGravity(std::string_view normalHints);

// The minimum size when it equals the maximum size (both set, neither 0):
// the window cannot be resized.
std::optional<Xcb::Size> fixedSizeOf(std::string_view normalHints);

// What WM_HINTS says: input (true when the field is unset or missing),
// urgency, and the window group (0 when unset).
struct WmHints {
    bool input = true;
    bool urgent = false;
    uint32_t group = 0;
};
WmHints wmHintsOf(std::string_view hints);

bool listsAtom(std::string_view atoms, xcb_atom_t atom);

// The first window of the value; 0 when none.
xcb_window_t firstWindow(std::string_view windows);

}  // namespace Velk
