// The clients' requests to enter and leave the full-screen state.
#include "logger.h"
#include "velk_kiosk/placement.h"

namespace Velk {

void Placement::changeFullscreenState(xcb_window_t win, uint32_t action) {
    Syslog::info("%s: window: %08x, action: %u, not handled", "changeFullscreenState", win, action);
}

}  // namespace Velk
