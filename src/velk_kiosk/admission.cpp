// What a new window is given before it is shown: the client's own wishes
// (no decorations, its states, a place of its own, a size that cannot change,
// the window it belongs to, its input model), the decoration its rule, wishes
// and type leave it, and the place of its frame.
#include <algorithm>
#include <utility>

#include "integrity/platform_integrity.h"
#include "velk_kiosk/client_hints.h"
#include "velk_kiosk/decoration.h"
#include "velk_kiosk/monitors.h"
#include "velk_kiosk/placement.h"
#include "velk_kiosk/rule_keys.h"

namespace Velk {

namespace {

// What the kiosk follows on a managed client: its properties (changes after
// its map) and who has the focus.
constexpr uint32_t clientEventMask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_FOCUS_CHANGE;

}  // namespace

// Sent before the reads, so that no change between a read and the
// selection goes unseen.
void Placement::watchClient(xcb_window_t win) const {
    xcb_change_window_attributes(connector.connection(), win, XCB_CW_EVENT_MASK, &clientEventMask);
}

Placement::PendingWishes Placement::requestWishes(uint32_t win) const {
    xcb_connection_t* conn = connector.connection();
    return {
        connector.requestGeometry(win),
        connector.pending(
            xcb_get_property(conn, 0, win, atoms.motifWmHints, atoms.motifWmHints, 0, motifHintsWords)),
        connector.requestProperty(win, atoms.netWmState, XCB_ATOM_ATOM),
        connector.pending(xcb_get_property(conn, 0, win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 0,
                                           sizeHintsWords)),
        connector.requestProperty(win, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW),
        connector.requestProperty(win, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS),
        connector.requestProperty(win, atoms.wmProtocols, XCB_ATOM_ATOM),
    };
}

Placement::MapWishes Placement::collectWishes(PendingWishes wishes, const std::list<uint32_t>& types) const {
    MapWishes read;
    // The raw reply: the client's own X border is kept to be given back.
    const auto [geometry, geometryError] = wishes.geometry.reply(xcb_get_geometry_reply);
    if (geometry) {
        read.geometry = {geometry->x, geometry->y, geometry->width, geometry->height};
        read.borderWidth = geometry->border_width;
    }
    ClientHints& hints = read.hints;
    hints.undecorated =
        asksNoDecorations(connector.collectProperty(std::move(wishes.motifHints), "onMapRequest"));
    read.states = connector.collectProperty(std::move(wishes.state), "onMapRequest");
    const std::string normalHints = connector.collectProperty(std::move(wishes.normalHints), "onMapRequest");
    read.ownPosition = hasOwnPosition(normalHints, read.geometry);
    read.gravity = windowGravity(normalHints);
    hints.fixedSize = fixedSizeOf(normalHints);
    hints.transientFor =
        firstWindow(connector.collectProperty(std::move(wishes.transientFor), "onMapRequest"));
    const WmHints wmHints = wmHintsOf(connector.collectProperty(std::move(wishes.wmHints), "onMapRequest"));
    hints.input = wmHints.input;
    hints.urgent = wmHints.urgent;
    hints.group = wmHints.group;
    hints.takeFocus =
        listsAtom(connector.collectProperty(std::move(wishes.protocols), "onMapRequest"), atoms.wmTakeFocus);
    hints.type = windowTypeOf(types, atoms);
    return read;
}

FrameMetrics Placement::decorationFor(const WmWindow& window) const {
    DecorationWishes wishes;
    wishes.integrityMode = kalder_enabled() > 0;
    wishes.ruleFullscreen = window.setFullscreen;
    wishes.ruleTitlebar = window.ruleTitlebar;
    wishes.ruleBorder = window.ruleBorder;
    wishes.clientUndecorated = window.hints.undecorated;
    wishes.splash = window.hints.type == WindowType::Splash;
    wishes.dock = window.hints.type == WindowType::Dock;
    const Xcb::Rect area = heldArea(window);
    return fittedDecoration(decorationOf(wishes), window.hints.fixedSize, {area.width, area.height});
}

// In the full-screen state a window has no decoration at all.
void Placement::decorate(WmWindow& window) const {
    window.setMetrics(window.states.fullscreen ? FrameMetrics{} : decorationFor(window));
    window.iconImage = nullptr;
    window.iconPixels = nullptr;
    window.closeImage = nullptr;
    window.closePixels = nullptr;
    if (window.titleHeight == 0) {
        return;
    }
    if (window.setFullscreen) {
        window.iconImage = &fullscreen_logo;
        window.iconPixels = fullscreen_logo.pixel_data;
    } else {
        window.iconImage = &window_logo;
        window.iconPixels = window_logo.pixel_data;
        window.closeImage = &close_icon;
        window.closePixels = close_icon.pixel_data;
    }
}

// The place the window would have as an ordinary window is where it returns
// when it leaves the full-screen state: kept on one monitor when it fits
// one.  A client larger than its monitor that cannot be resized keeps its
// size, centred on it.  A dock stands where it asks to.
FramePlacement Placement::placeNew(WmWindow& window, const MapWishes& wishes, const Xcb::Size& root) {
    if (window.hints.type == WindowType::Dock) {
        window.admittedAt = wishes.geometry;
        window.restorePlace = wishes.geometry;
        return {wishes.geometry, {wishes.geometry.width, wishes.geometry.height}};
    }
    const FrameMetrics metrics = decorationFor(window);
    const bool splash = window.hints.type == WindowType::Splash;
    const Xcb::Rect asked = wishes.ownPosition && !splash
                                ? withGravity(wishes.geometry, window.gravity, metrics)
                                : wishes.geometry;
    const std::optional<Xcb::Size>& fixed = window.hints.fixedSize;
    const Xcb::Rect area = monitors.workArea(monitorOf(window));
    FramePlacement normal =
        fixed && (fixed->width > area.width || fixed->height > area.height)
            ? centredOn(*fixed, metrics, area)
            : firstPlace(asked, metrics, root, centreOver(wishes),
                         [this](int16_t x, int16_t y) { return takenPlaces.count(placeKey(x, y)) != 0; });
    normal.frame = keptOnMonitor(normal.frame, monitors);
    window.admittedAt = normal.frame;
    window.restorePlace = normal.frame;
    holdPlace(window);
    const std::optional<FramePlacement> held = heldPlace(window);
    return held ? *held : normal;
}

std::optional<FramePlacement> Placement::heldPlace(const WmWindow& window) const {
    if (!window.locked()) {
        return std::nullopt;
    }
    const Xcb::Rect area = heldArea(window);
    if (window.hints.fixedSize) {
        return centredOn(*window.hints.fixedSize, window.metrics(), area);
    }
    return fullscreenOn(window.metrics(), area);
}

uint32_t Placement::placeKey(int16_t x, int16_t y) {
    return static_cast<uint32_t>(static_cast<uint16_t>(x)) << 16 | static_cast<uint16_t>(y);
}

// Only windows that are not full screen keep later ones off their first place.
void Placement::holdPlace(const WmWindow& window) {
    if (!window.locked()) {
        ++takenPlaces[placeKey(window.admittedAt.x, window.admittedAt.y)];
    }
}

void Placement::releasePlace(const WmWindow& window) {
    if (window.locked()) {
        return;
    }
    const auto held = takenPlaces.find(placeKey(window.admittedAt.x, window.admittedAt.y));
    if (held != takenPlaces.end() && --held->second == 0) {
        takenPlaces.erase(held);
    }
}

// A splash window is centred on the monitor of the window it belongs to, or
// on the primary, always.  A transient or dialog window without a place of
// its own is centred over the window it belongs to (and then kept on that
// window's monitor), or on the primary monitor when that is not managed.
std::optional<Xcb::Rect> Placement::centreOver(const MapWishes& wishes) const {
    const WmWindow* parent = windows.findByClient(wishes.hints.transientFor);
    if (wishes.hints.type == WindowType::Splash) {
        return monitors.workArea(parent ? monitorOf(*parent) : monitors.primary());
    }
    const bool dialog = wishes.hints.type == WindowType::Dialog;
    if (wishes.ownPosition || (!dialog && wishes.hints.transientFor == XCB_WINDOW_NONE)) {
        return std::nullopt;
    }
    if (parent) {
        const Xcb::Rect over = Xcb::Connector::collectGeometry(
            connector.requestGeometry(parent->frame != 0 ? parent->frame : parent->win));
        if (over.width != 0) {
            return over;
        }
    }
    return monitors.workArea(monitors.primary());
}

}  // namespace Velk
