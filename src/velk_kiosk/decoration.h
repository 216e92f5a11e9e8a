// How much of a frame's decoration a window gets: what its rule, the client
// and its type leave it, and what a window that cannot be resized keeps on
// the screen.  No X requests here.
#pragma once

#include <optional>

#include "velk_kiosk/frame_geometry.h"
#include "xcb/xcb.h"

namespace Velk {

struct DecorationWishes {
    // The platform's integrity mode: no decoration at all.
    bool integrityMode = false;
    // Held at full screen by its rule: a title bar without border.
    bool ruleFullscreen = false;
    // The rule's "titlebar" and "frame" (a border, for a window with a name).
    bool ruleTitlebar = true;
    bool ruleBorder = true;
    // The client draws its own (Motif), or is a splash window or a dock.
    bool clientUndecorated = false;
    bool splash = false;
    bool dock = false;
};

// A title bar of 18 pixels and a border of 3, less what the wishes take away.
FrameMetrics decorationOf(const DecorationWishes& wishes);

// A window that cannot be resized keeps its size: its decoration goes when
// the decorated frame would not fit on the root, so that the title bar never
// pushes it off the screen.
FrameMetrics fittedDecoration(const FrameMetrics& metrics, const std::optional<Xcb::Size>& fixedSize,
                              const Xcb::Size& root);

}  // namespace Velk
