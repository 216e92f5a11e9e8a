// The monitors the screen is shown on, as RandR last told the kiosk, and what
// docks reserve of them: which monitor a window is on, the monitor a rule
// names, the box a full-screen window spans, each monitor's work area and
// the root's.  Plain arithmetic: the reading is monitor_reader.h's, so the
// edges can be checked without a server.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "xcb/xcb.h"

namespace Velk {

struct Monitor {
    // The RandR monitor's name (for an output's own monitor, the output's),
    // or the first output of a CRTC; empty for the whole screen.
    std::string name;
    Xcb::Rect area;
    bool primary = false;

    bool operator==(const Monitor& other) const {
        return name == other.name && primary == other.primary && area.x == other.area.x &&
               area.y == other.area.y && area.width == other.area.width && area.height == other.area.height;
    }
};

// What one window reserves at the root's edges (EWMH _NET_WM_STRUT_PARTIAL:
// widths from the root's edges, each over a range along that edge).
struct Strut {
    uint32_t left = 0;
    uint32_t right = 0;
    uint32_t top = 0;
    uint32_t bottom = 0;
    uint32_t leftStartY = 0;
    uint32_t leftEndY = 0;
    uint32_t rightStartY = 0;
    uint32_t rightEndY = 0;
    uint32_t topStartX = 0;
    uint32_t topEndX = 0;
    uint32_t bottomStartX = 0;
    uint32_t bottomEndX = 0;
};

// The strut of _NET_WM_STRUT_PARTIAL's twelve words when there are twelve,
// else of _NET_WM_STRUT's four (each edge then reserved along all of it);
// none when neither has its words.
std::optional<Strut> strutOf(const std::vector<uint32_t>& partial, const std::vector<uint32_t>& plain,
                             const Xcb::Size& root);

class Monitors {
public:
    explicit Monitors(const Xcb::Size& root) { replace({}, root); }

    // A new list; an empty one is the whole root as one monitor.  The
    // primary is the one RandR calls so, else the first.
    void replace(std::vector<Monitor> list, const Xcb::Size& root);
    // The docks' struts: every work area anew.  True when one changed.
    bool reserve(std::vector<Strut> struts);

    const std::vector<Monitor>& list() const { return monitors; }
    const Monitor& at(size_t index) const { return monitors.at(index); }
    size_t primary() const;
    // A rule's "monitor": a monitor's name, an index, or "primary"; none
    // when no monitor is so named.
    std::optional<size_t> find(std::string_view wanted) const;
    // The monitor of that name; none when there is none now.
    std::optional<size_t> named(std::string_view name) const;
    // The monitor the rectangle has most of its area on; the primary when
    // it is on none.
    size_t mostlyOn(const Xcb::Rect& rect) const;
    // The box around the monitors at those indices (_NET_WM_FULLSCREEN_MONITORS:
    // top, bottom, left, right edges); none when one is out of range.
    std::optional<Xcb::Rect> spanning(const std::array<uint32_t, 4>& edges) const;
    // The monitor without what the struts reserve of it.
    Xcb::Rect workArea(size_t index) const { return workAreas.at(index); }
    // The root without what the struts reserve (_NET_WORKAREA).
    Xcb::Rect rootWorkArea() const { return rootArea; }

private:
    void computeWorkAreas();

    std::vector<Monitor> monitors;
    Xcb::Size rootSize;
    std::vector<Strut> reserved;
    std::vector<Xcb::Rect> workAreas;
    Xcb::Rect rootArea;
};

// A frame kept on one monitor: when it fits the monitor it is mostly on, it
// is moved onto it; otherwise it stays where it is.
Xcb::Rect keptOnMonitor(const Xcb::Rect& frame, const Monitors& monitors);

}  // namespace Velk
