// Docks and what they reserve: a dock's struts (_NET_WM_STRUT_PARTIAL, or
// _NET_WM_STRUT) read at its map and when they change, and the windows its
// rule holds at full screen laid out in the work areas that remain.
#include <utility>

#include "logger.h"
#include "velk_kiosk/placement.h"
#include "xcb/parsers.h"

namespace Velk {

namespace {

std::vector<uint32_t> wordsOf(const std::string& value) {
    const std::list<uint32_t> words = Xcb::propertyWords(value);
    return {words.begin(), words.end()};
}

}  // namespace

void Placement::readStrut(WmWindow& window) {
    Xcb::PendingProperty partial =
        connector.requestProperty(window.win, atoms.netWmStrutPartial, XCB_ATOM_CARDINAL);
    Xcb::PendingProperty plain = connector.requestProperty(window.win, atoms.netWmStrut, XCB_ATOM_CARDINAL);
    const std::vector<uint32_t> partialWords =
        wordsOf(connector.collectProperty(std::move(partial), "readStrut"));
    const std::vector<uint32_t> plainWords =
        wordsOf(connector.collectProperty(std::move(plain), "readStrut"));
    window.strut = strutOf(partialWords, plainWords, rootSize.size());
    if (window.strut) {
        Syslog::info("%s: window: %08x, left: %u, right: %u, top: %u, bottom: %u", "readStrut", window.win,
                     window.strut->left, window.strut->right, window.strut->top, window.strut->bottom);
    }
    reserveStruts();
}

// The windows that take a work area are those their rule holds at full
// screen; a window in the full-screen state covers its whole monitor.
void Placement::reserveStruts() {
    std::vector<Strut> struts;
    for (const WmWindow& window : windows.records()) {
        if (window.strut) {
            struts.push_back(*window.strut);
        }
    }
    if (!monitors.reserve(std::move(struts))) {
        return;
    }
    PendingConfigures changes;
    for (WmWindow& window : windows.records()) {
        if (!window.setFullscreen || window.states.fullscreen) {
            continue;
        }
        decorate(window);
        const FramePlacement held = *heldPlace(window);
        requestLayout(window, held.frame,
                      clientInside({held.frame.width, held.frame.height}, window.metrics()), changes);
        clientEwmh.publish(window);
        framer.repaint(window);
    }
    for (auto& change : changes) {
        connector.confirmConfigure(std::move(change), "reserveStruts");
    }
}

}  // namespace Velk
