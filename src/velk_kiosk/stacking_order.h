// The stacking order of the managed windows as the kiosk keeps it, bottom to
// top, and the restacks that bring the server's order to it.  Windows stand
// in layers (below, normal, above, docks); a transient stands above the
// window it belongs to (its WM_TRANSIENT_FOR, or every window of its group
// for a dialog that names none) and in that window's layer at least, and
// moves with it.  Only the managed windows are named: a restack puts a
// window next to another managed one, so what else stands on the root (the
// override-redirect popups above everything) keeps its place.  No X
// requests here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "xcb/xcb.h"

namespace Velk {

// Bottom to top.
enum class Layer : uint8_t { Below, Normal, Above, Dock };

// What decides a window's place.
struct StackFacts {
    Layer layer = Layer::Normal;
    // The managed client it belongs to; 0 for none.
    xcb_window_t transientFor = 0;
    // Its WM_HINTS window group; 0 for none.
    xcb_window_t group = 0;
    // A dialog without a window of its own to belong to: it belongs to
    // every other window of its group.
    bool groupDialog = false;

    bool operator==(const StackFacts& other) const {
        return layer == other.layer && transientFor == other.transientFor && group == other.group &&
               groupDialog == other.groupDialog;
    }
};

// One ConfigureWindow: `win` right above or right below `sibling`; below
// sibling 0 is the bottom of the root's stack.
struct Restack {
    xcb_window_t win;
    xcb_window_t sibling;
    bool above;

    bool operator==(const Restack& other) const {
        return win == other.win && sibling == other.sibling && above == other.above;
    }
};

class StackingOrder {
public:
    // Each change returns the restacks that make the server's order the
    // new one, top down (a transient is never seen below its window on
    // the way); none when the order did not change.

    // A new window on top of its layer, with the transients it already has
    // (mapped before it) above it.
    std::vector<Restack> add(xcb_window_t win, const StackFacts& facts);
    void remove(xcb_window_t win);
    // The window and its transients on top of their layers.
    std::vector<Restack> raise(xcb_window_t win);
    // The window and its transients at the bottom of its layer, yet above
    // the windows it belongs to.
    std::vector<Restack> lower(xcb_window_t win);
    // The window and its transients right above or below the sibling, kept
    // within its layer and above the windows it belongs to.
    std::vector<Restack> restackBy(xcb_window_t win, xcb_window_t sibling, bool above);
    // New facts; when they move the window to another layer or parent, it
    // is raised there.
    std::vector<Restack> update(xcb_window_t win, const StackFacts& facts);

    bool contains(xcb_window_t win) const { return nodes.count(win) != 0; }
    // The managed windows, bottom to top.
    const std::vector<xcb_window_t>& order() const { return windows; }
    // The windows that belong to `win`, bottom to top.
    std::vector<xcb_window_t> transientsOf(xcb_window_t win) const;
    // How many windows at the bottom stayed where they were since the last
    // call: a list shown elsewhere needs only what follows them.
    size_t takeUnchangedPrefix();

private:
    struct Node {
        StackFacts facts;
        Layer layer = Layer::Normal;  // its own, or higher for a transient
        // In the order; a new window is not before its first move.
        bool placed = false;
    };
    // Where a moved family's window of the anchor's layer goes.
    enum class Anchor { Top, Bottom, AboveSibling, BelowSibling };

    std::vector<Restack> move(xcb_window_t win, Anchor anchor, xcb_window_t sibling);
    std::vector<xcb_window_t> family(xcb_window_t win) const;
    std::vector<xcb_window_t> parentsOf(xcb_window_t win) const;
    Layer layerOf(xcb_window_t win) const;
    size_t anchorIndex(Layer layer, Anchor anchor, xcb_window_t sibling) const;
    size_t lowestAbove(const std::vector<xcb_window_t>& moved, Layer layer) const;
    std::vector<Restack> restacksOf(const std::vector<xcb_window_t>& moved) const;
    // Each window with its index in the order.
    std::vector<std::pair<size_t, xcb_window_t>> rankedByPlace(
        const std::vector<xcb_window_t>& members) const;
    void link(xcb_window_t win);
    void unlink(xcb_window_t win);
    bool wouldLoop(xcb_window_t win, xcb_window_t parent) const;
    size_t indexOf(xcb_window_t win) const;
    size_t layerBegin(Layer layer) const;
    size_t layerEnd(Layer layer) const;
    void insertAt(size_t index, xcb_window_t win, Layer layer);
    void eraseAt(size_t index);

    std::vector<xcb_window_t> windows;
    std::unordered_map<xcb_window_t, Node> nodes;
    std::array<size_t, 4> layerSizes{};
    // Windows by the window they are transient for, and by their group.
    std::unordered_map<xcb_window_t, std::vector<xcb_window_t>> transients;
    std::unordered_map<xcb_window_t, std::vector<xcb_window_t>> groups;
    size_t unchangedPrefix = 0;
};

}  // namespace Velk
