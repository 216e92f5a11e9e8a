// The EWMH full-screen state of a managed window, asked for by its client at
// its map or later by a client message: the window covers the whole screen
// without decorations and, when it leaves the state, returns to the place,
// size and decoration it had.  The client's _NET_WM_STATE and
// _NET_FRAME_EXTENTS follow.
#include "logger.h"
#include "velk_kiosk/placement.h"

namespace Velk {

namespace {

// 0 removes the state.
constexpr uint32_t addState = 1;
constexpr uint32_t toggleState = 2;

}  // namespace

bool Placement::changeFullscreenState(xcb_window_t win, uint32_t action) {
    WmWindow* window = windows.findByClient(win);
    if (!window || action > toggleState) {
        Syslog::debug("%s: window: %08x, action: %u, skipped", "changeFullscreenState", win, action);
        return false;
    }
    const bool wanted = action == toggleState ? !window->stateFullscreen : action == addState;
    Syslog::info("%s: window: %08x, action: %u, fullscreen: `%s'", "changeFullscreenState", win, action,
                 wanted ? "true" : "false");
    if (wanted && !window->stateFullscreen) {
        enterFullscreen(*window);
    } else if (!wanted && window->stateFullscreen) {
        leaveFullscreen(*window);
    } else {
        publishState(*window);
    }
    xcb_flush(connector.connection());
    return true;
}

// On top of the other windows, the whole root, no decorations.
void Placement::enterFullscreen(WmWindow& window) {
    const uint32_t outer = window.frame != 0 ? window.frame : window.win;
    const Xcb::Rect root = rootSize.rect();
    window.restorePlace = Xcb::Connector::collectGeometry(connector.requestGeometry(outer));
    window.restoreMetrics = window.metrics();
    releasePlace(window);
    window.stateFullscreen = true;
    // The state goes out before the layout: a client that sees its new size
    // already finds the state that explains it.
    publishState(window);
    window.setMetrics({});
    const uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connector.connection(), outer, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    applyLayout(window, {0, 0, root.width, root.height});
}

// A window its rule holds at full screen keeps the screen, with its title
// bar.  The others go back to their place, kept on a screen that may have
// shrunk meanwhile.
void Placement::leaveFullscreen(WmWindow& window) {
    window.stateFullscreen = false;
    holdPlace(window);
    publishState(window);
    window.setMetrics(window.restoreMetrics);
    const Xcb::Rect root = rootSize.rect();
    applyLayout(window,
                window.setFullscreen ? root : keptOnRoot(window.restorePlace, {root.width, root.height}));
}

void Placement::applyLayout(const WmWindow& window, const Xcb::Rect& target) const {
    framer.publishExtents(window);
    PendingConfigures changes;
    requestLayout(window, target, clientInside({target.width, target.height}, window.metrics()), changes);
    framer.repaint(window);
    for (auto& change : changes) {
        connector.confirmConfigure(std::move(change), "changeFullscreenState");
    }
}

// Full screen is the one state the kiosk keeps; other states a client listed
// are not kept.
void Placement::publishState(const WmWindow& window) const {
    const uint32_t fullscreen = netWmStateFullscreen;
    xcb_change_property(connector.connection(), XCB_PROP_MODE_REPLACE, window.win, netWmState, XCB_ATOM_ATOM,
                        32, window.stateFullscreen ? 1 : 0, &fullscreen);
}

}  // namespace Velk
