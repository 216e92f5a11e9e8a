// What a client changes after its map, applied when it changes: its
// decorations (_MOTIF_WM_HINTS), its size hints (WM_NORMAL_HINTS: a window
// that cannot be resized keeps its size), the window it belongs to
// (WM_TRANSIENT_FOR), its input model, urgency and group (WM_HINTS,
// WM_PROTOCOLS), its type (_NET_WM_WINDOW_TYPE, which its rule may look
// at) and a dock's struts; and the frame extents a client asks for before
// its map.
#include <utility>

#include "logger.h"
#include "velk_kiosk/client_hints.h"
#include "velk_kiosk/placement.h"
#include "velk_kiosk/rule_keys.h"
#include "xcb/parsers.h"

namespace Velk {

namespace {

// The other property lengths read, in 32-bit units: the connector's own
// length for lists, the twelve words of a partial strut.
constexpr uint32_t listWords = 8192;
constexpr uint32_t strutWords = 12;

}  // namespace

void Placement::onPropertyNotify(const xcb_property_notify_event_t* event) {
    WmWindow* window = windows.findByClient(event->window);
    if (!window) {
        return;
    }
    struct Watched {
        xcb_atom_t property;
        xcb_atom_t type;
        uint32_t words;
    };
    const Watched watched[] = {
        {atoms.motifWmHints, atoms.motifWmHints, motifHintsWords},
        {XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, sizeHintsWords},
        {XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, listWords},
        {XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, listWords},
        {atoms.wmProtocols, XCB_ATOM_ATOM, listWords},
        {atoms.netWmWindowType, XCB_ATOM_ATOM, listWords},
        {atoms.netWmStrut, XCB_ATOM_CARDINAL, strutWords},
        {atoms.netWmStrutPartial, XCB_ATOM_CARDINAL, strutWords},
    };
    for (const Watched& read : watched) {
        if (read.property != event->atom) {
            continue;
        }
        Syslog::info("%s: window: %08x, property: %u, state: %u", "onPropertyNotify", window->win,
                     event->atom, event->state);
        const std::string value = connector.collectProperty(
            connector.pending(xcb_get_property(connector.connection(), 0, window->win, read.property,
                                               read.type, 0, read.words)),
            "onPropertyNotify");
        readChangedProperty(*window, read.property, value);
        clientEwmh.publish(*window);
        return;
    }
}

void Placement::readChangedProperty(WmWindow& window, xcb_atom_t property, const std::string& value) {
    ClientHints& hints = window.hints;
    if (property == atoms.motifWmHints) {
        hints.undecorated = asksNoDecorations(value);
        redecorate(window, window.locked());
    } else if (property == XCB_ATOM_WM_NORMAL_HINTS) {
        hints.fixedSize = fixedSizeOf(value);
        redecorate(window, window.locked());
    } else if (property == XCB_ATOM_WM_TRANSIENT_FOR) {
        hints.transientFor = firstWindow(value);
        stacking.refresh(window);
    } else if (property == XCB_ATOM_WM_HINTS) {
        const WmHints read = wmHintsOf(value);
        if (read.urgent != hints.urgent) {
            window.states.demandsAttention = read.urgent;
        }
        hints.input = read.input;
        hints.urgent = read.urgent;
        hints.group = read.group;
        stacking.refresh(window);
    } else if (property == atoms.wmProtocols) {
        hints.takeFocus = listsAtom(value, atoms.wmTakeFocus);
    } else if (property == atoms.netWmWindowType) {
        hints.type = windowTypeOf(Xcb::propertyWords(value), atoms);
        reconsiderRule(window);
        stacking.refresh(window);
    } else if (window.hints.type == WindowType::Dock) {
        // One strut changed; the other may stand in for it.
        readStrut(window);
    }
}

// The frame fits the new decoration.  A window held in place takes its
// place anew; one its rule no longer holds returns to its own place; an
// ordinary window keeps its client's size, and its frame's corner, with the
// frame grown or shrunk around it.
void Placement::redecorate(WmWindow& window, bool wasLocked) {
    const Xcb::Size root = rootSize.size();
    const FrameMetrics before = window.metrics();
    decorate(window);
    if (const std::optional<FramePlacement> held = heldPlace(window)) {
        applyLayout(window, held->frame);
        return;
    }
    if (wasLocked) {
        applyLayout(window, keptOnRoot(window.restorePlace, root));
        return;
    }
    const FrameMetrics after = window.metrics();
    if (window.frame == 0 ||
        (before.borderWidth == after.borderWidth && before.titleHeight == after.titleHeight)) {
        return;
    }
    Xcb::PendingGeometry frameRead = connector.requestGeometry(window.frame);
    const Xcb::Rect client = Xcb::Connector::collectGeometry(connector.requestGeometry(window.win));
    const Xcb::Rect frame = Xcb::Connector::collectGeometry(std::move(frameRead));
    const Xcb::Rect target{frame.x, frame.y, static_cast<uint16_t>(client.width + 2 * after.borderWidth),
                           static_cast<uint16_t>(client.height + after.titleHeight + after.borderWidth)};
    applyLayout(window, window.hints.fixedSize ? target : keptOnRoot(target, root));
}

// The rule may name the type: the window is decided anew, as at its map.
void Placement::reconsiderRule(WmWindow& window) {
    RuleLookup::PendingFacts facts = rules.requestFacts(window.win);
    Xcb::PendingProperty wmName = connector.requestProperty(window.win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
    const Decision decision =
        decide(window.win, rules.findJsonWindow(window.win, std::move(facts)), std::move(wmName));
    const bool wasLocked = window.locked();
    releasePlace(window);
    window.setFullscreen = decision.fullscreen && window.hints.type != WindowType::Dock;
    window.ruleMonitor = decision.monitor;
    window.ruleTitlebar = decision.titlebar;
    window.ruleBorder = decision.border;
    holdPlace(window);
    redecorate(window, wasLocked);
}

// A window already managed has its extents published; for another one the
// reads of its map decide what it would get.
void Placement::requestFrameExtents(xcb_window_t win) {
    if (WmWindow* managed = windows.findByClient(win)) {
        managed->shown.extents.clear();
        clientEwmh.publish(*managed);
        return;
    }
    RuleLookup::PendingFacts facts = rules.requestFacts(win, true);
    Xcb::PendingProperty wmName = connector.requestProperty(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
    PendingWishes wishes = requestWishes(win);
    const std::list<uint32_t> types = rules.windowTypes(facts);
    const Decision decision = decide(win, rules.findJsonWindow(win, std::move(facts)), std::move(wmName));
    const MapWishes read = collectWishes(std::move(wishes), types);
    WmWindow asking(win);
    asking.setFullscreen = decision.fullscreen;
    asking.ruleTitlebar = decision.titlebar;
    asking.ruleBorder = decision.border;
    asking.hints = read.hints;
    clientEwmh.adoptStates(asking, read.states);
    asking.ruleMonitor = decision.monitor;
    asking.monitor = chooseMonitor(asking, read.geometry);
    decorate(asking);
    Syslog::info("%s: window: %08x, extents: title %u, border %u", "requestFrameExtents", win,
                 asking.titleHeight, asking.borderWidth);
    clientEwmh.publishExtents(win, asking.metrics());
}

}  // namespace Velk
