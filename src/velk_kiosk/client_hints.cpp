// The client's hints read from property bytes; see client_hints.h.
#include "velk_kiosk/client_hints.h"

#include <algorithm>
#include <list>
#include <vector>

#include "xcb/parsers.h"

namespace Velk {

namespace {

constexpr uint32_t motifDecorationsFlag = 1U << 1;
constexpr uint32_t userPosition = 1;
constexpr uint32_t programPosition = 4;
constexpr uint32_t programMinSize = 1U << 4;
constexpr uint32_t programMaxSize = 1U << 5;
constexpr uint32_t programWinGravity = 1U << 9;
// WM_HINTS: flags, input, initial state, icon pixmap, icon window, icon x
// and y, icon mask, window group.
constexpr uint32_t inputHint = 1;
constexpr uint32_t windowGroupHint = 1U << 6;
constexpr uint32_t urgencyHint = 1U << 8;
constexpr size_t inputWord = 1;
constexpr size_t groupWord = 8;

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

std::optional<Xcb::Size> fixedSizeOf(std::string_view normalHints) {
    Xcb::SizeHints hints;
    const uint32_t both = programMinSize | programMaxSize;
    if (!Xcb::copySizeHints(normalHints, 32, hints) || (hints.flags & both) != both) {
        return std::nullopt;
    }
    const bool same = hints.minWidth == hints.maxWidth && hints.minHeight == hints.maxHeight;
    if (!same || hints.minWidth <= 0 || hints.minHeight <= 0 || hints.minWidth > UINT16_MAX ||
        hints.minHeight > UINT16_MAX) {
        return std::nullopt;
    }
    return Xcb::Size{static_cast<uint16_t>(hints.minWidth), static_cast<uint16_t>(hints.minHeight)};
}

WmHints wmHintsOf(std::string_view hints) {
    const std::list<uint32_t> listed = Xcb::propertyWords(hints);
    const std::vector<uint32_t> words(listed.begin(), listed.end());
    WmHints read;
    if (words.empty()) {
        return read;
    }
    const uint32_t flags = words.front();
    read.input = (flags & inputHint) == 0 || words.size() <= inputWord || words[inputWord] != 0;
    read.urgent = (flags & urgencyHint) != 0;
    if ((flags & windowGroupHint) != 0 && words.size() > groupWord) {
        read.group = words[groupWord];
    }
    return read;
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
