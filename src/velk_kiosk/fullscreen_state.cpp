// The EWMH states of a managed window asked for by its client after its map:
// full screen covers the whole screen without decorations (a window that
// cannot be resized keeps its size, centred) and, when it leaves the state,
// the window returns to the place and decoration it had; above and below
// move it to another layer; modal and demands-attention are kept for the
// focus and for pagers.  The client's EWMH properties follow.
#include "logger.h"
#include "velk_kiosk/placement.h"

namespace Velk {

bool Placement::changeStates(xcb_window_t win, const WindowStates& wanted) {
    WmWindow* window = windows.findByClient(win);
    if (!window) {
        Syslog::debug("%s: window: %08x, not managed", "changeStates", win);
        return false;
    }
    Syslog::info("%s: window: %08x, fullscreen: `%s', above: `%s', below: `%s'", "changeStates", win,
                 wanted.fullscreen ? "true" : "false", wanted.above ? "true" : "false",
                 wanted.below ? "true" : "false");
    const bool layerChanged = wanted.above != window->states.above || wanted.below != window->states.below;
    window->states.above = wanted.above;
    window->states.below = wanted.below;
    window->states.modal = wanted.modal;
    window->states.demandsAttention = wanted.demandsAttention;
    if (layerChanged) {
        stacking.refresh(*window);
    }
    if (wanted.fullscreen && !window->states.fullscreen) {
        enterFullscreen(*window);
    } else if (!wanted.fullscreen && window->states.fullscreen) {
        leaveFullscreen(*window);
    } else {
        clientEwmh.publish(*window);
    }
    xcb_flush(connector.connection());
    return true;
}

// On top of its layer, the whole of the monitor it is mostly on (or the one
// its rule names, or the monitors it asked for), or centred there at its
// own size; no decorations.
void Placement::enterFullscreen(WmWindow& window) {
    const uint32_t outer = window.frame != 0 ? window.frame : window.win;
    window.restorePlace = Xcb::Connector::collectGeometry(connector.requestGeometry(outer));
    releasePlace(window);
    window.states.fullscreen = true;
    window.monitor = chooseMonitor(window, window.restorePlace);
    // The state goes out before the layout: a client that sees its new size
    // already finds the state that explains it.
    clientEwmh.publish(window);
    decorate(window);
    stacking.raise(window.win);
    applyLayout(window, heldPlace(window)->frame);
}

// A window its rule holds at full screen keeps the screen, with its title
// bar.  The others go back to their place, kept on a screen that may have
// shrunk meanwhile.
void Placement::leaveFullscreen(WmWindow& window) {
    window.states.fullscreen = false;
    holdPlace(window);
    clientEwmh.publish(window);
    const Xcb::Size root = rootSize.size();
    decorate(window);
    const std::optional<FramePlacement> held = heldPlace(window);
    applyLayout(window, held ? held->frame : keptOnRoot(window.restorePlace, root));
}

void Placement::applyLayout(WmWindow& window, const Xcb::Rect& target) const {
    clientEwmh.publish(window);
    PendingConfigures changes;
    requestLayout(window, target, clientInside({target.width, target.height}, window.metrics()), changes);
    framer.repaint(window);
    for (auto& change : changes) {
        connector.confirmConfigure(std::move(change), "applyLayout");
    }
}

}  // namespace Velk
