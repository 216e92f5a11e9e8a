// The client's hints read from property bytes; see client_hints.h.
#include "velk_kiosk/client_hints.h"

#include <algorithm>
#include <list>

#include "xcb/parsers.h"

namespace Velk {

namespace {

constexpr uint32_t motifDecorationsFlag = 1U << 1;
constexpr uint32_t userPosition = 1;
constexpr uint32_t programPosition = 4;
constexpr uint32_t programWinGravity = 1U << 9;

}  // namespace

bool asksNoDecorations(std::string_view motifHints) {
    const std::list<uint32_t> words = Xcb::propertyWords(motifHints);
    if (words.size() < 3) {
        return false;
    }
    const uint32_t flags = words.front();
    return (flags & motifDecorationsFlag) != 0 && *std::next(words.begin(), 2) == 0;
}

bool hasOwnPosition(std::string_view normalHints, const Xcb::Rect& geometry) {
    Xcb::SizeHints hints;
    if (!Xcb::copySizeHints(normalHints, 32, hints)) {
        return false;
    }
    const bool positioned = (hints.flags & (userPosition | programPosition)) != 0;
    return positioned && (geometry.x != 0 || geometry.y != 0);
}

uint32_t windowGravity(std::string_view normalHints) {
    Xcb::SizeHints hints;
    if (!Xcb::copySizeHints(normalHints, 32, hints) || (hints.flags & programWinGravity) == 0) {
        return XCB_GRAVITY_NORTH_WEST;
    }
    return hints.windowGravity;
}

bool listsAtom(std::string_view atoms, xcb_atom_t atom) {
    const std::list<uint32_t> words = Xcb::propertyWords(atoms);
    return std::find(words.begin(), words.end(), atom) != words.end();
}

xcb_window_t firstWindow(std::string_view windows) {
    const std::list<uint32_t> words = Xcb::propertyWords(windows);
    return words.empty() ? xcb_window_t{XCB_WINDOW_NONE} : words.front();
}

}  // namespace Velk
