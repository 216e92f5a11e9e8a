// Pure arithmetic of frames: where a new frame and its client go, what one
// drag step of a border makes of the sizes, and the client's place inside a
// frame.  No X requests here, so the edges can be checked without a server.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "xcb/xcb.h"

namespace Velk {

// The decoration of one frame: X border of the frame window, drawn border
// left, right and below the client, and the title bar above it.
struct FrameMetrics {
    uint16_t frameBorderWidth = 0;
    uint16_t borderWidth = 0;
    uint16_t titleHeight = 0;
};

struct FramePlacement {
    Xcb::Rect frame;
    Xcb::Size client;
};

// The frame around a client of geometry `client` on a root of size `root`:
// at the client's position, grown by the decoration; a frame wider or taller
// than the root is cut to it and the client shrinks with it.
FramePlacement placeFrame(const Xcb::Rect& client, const FrameMetrics& metrics, const Xcb::Size& root);

// Whether an earlier window was first placed with its corner at x, y.
using PlaceTaken = std::function<bool(int16_t x, int16_t y)>;

// Where a new window's frame goes.  Sized as placeFrame sizes it; centred
// over `centreOver` when given (a dialog without a place of its own);
// otherwise at the client's position, moved on by the title height (18 when
// it has none) while that position is taken (64 times at most).  A frame
// that fits on the root is then moved onto it.
FramePlacement firstPlace(const Xcb::Rect& client, const FrameMetrics& metrics, const Xcb::Size& root,
                          const std::optional<Xcb::Rect>& centreOver, const PlaceTaken& taken);

// A frame kept whole on the root: cut to it where it is larger, then moved
// onto it.  A frame already on the root stays where it is.
Xcb::Rect keptOnRoot(const Xcb::Rect& frame, const Xcb::Size& root);

// A full-screen frame: the whole root, the client its inside.
FramePlacement fullscreenPlace(const FrameMetrics& metrics, const Xcb::Size& root);
// The same over an area of the root (a monitor, a work area).
FramePlacement fullscreenOn(const FrameMetrics& metrics, const Xcb::Rect& area);

// A client that keeps its size, never cut: its frame centred on the root,
// also where it is larger than the root.
FramePlacement centredPlace(const Xcb::Size& client, const FrameMetrics& metrics, const Xcb::Size& root);
// The same over an area of the root.
FramePlacement centredOn(const Xcb::Size& client, const FrameMetrics& metrics, const Xcb::Rect& area);

// The client's asked rectangle with its corner moved to where the frame's
// corner goes under that window gravity (ICCCM): the gravity's reference
// point of the frame stands where the client's would have stood; with
// StaticGravity the client itself stays put.  NorthWest moves nothing.
Xcb::Rect withGravity(const Xcb::Rect& client, uint32_t gravity, const FrameMetrics& metrics);

// The client's rectangle inside a frame of the given size (x borderWidth,
// y titleHeight), never smaller than 1x1.
Xcb::Rect clientInside(const Xcb::Size& frame, const FrameMetrics& metrics);

struct ResizeStep {
    Xcb::Rect frame;
    Xcb::Size client;
};

// One resize drag step by (dx, dy).  Dragging right of the left border moves
// the right and bottom edges; dragging the left border moves the left edge
// (the right one stays) and the bottom edge.  The frame never gets smaller
// than its decoration plus one pixel, the client never smaller than 1x1, and
// neither larger than 32767; inside those bounds the sizes change by exactly
// the pointer's movement.
ResizeStep resizeStep(const Xcb::Rect& frame, const Xcb::Size& client, const FrameMetrics& metrics,
                      bool leftBorder, int dx, int dy);

}  // namespace Velk
