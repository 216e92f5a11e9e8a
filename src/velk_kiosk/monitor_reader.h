// The monitors read off the server: RandR 1.5's monitor list, the active
// CRTCs where the server lists no monitor, and nothing (the whole screen)
// where it has neither.  Read at start and on RandR's and the root's change
// events, never for a window.
#pragma once

#include <vector>

#include "velk_kiosk/monitors.h"
#include "xcb/xcb.h"

namespace Velk {

// Two round trips for the monitors (the list, their names); three for CRTCs.
std::vector<Monitor> readMonitors(const Xcb::Connector& connector);

}  // namespace Velk
