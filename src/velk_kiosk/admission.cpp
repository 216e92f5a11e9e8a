// What a new window is given before it is shown: the client's own wishes
// (no decorations, the full-screen state, a place of its own, the window it
// belongs to), the decoration its rule and wishes leave it, and the place of
// its frame.
#include <algorithm>
#include <utility>

#include "integrity/platform_integrity.h"
#include "velk_kiosk/client_hints.h"
#include "velk_kiosk/placement.h"

namespace Velk {

namespace {

// Property lengths in 32-bit units: the Motif hints are five words, the
// size hints eighteen.
constexpr uint32_t motifHintsWords = 5;
constexpr uint32_t sizeHintsWords = 18;

}  // namespace

Placement::PendingWishes Placement::requestWishes(uint32_t win) const {
    xcb_connection_t* conn = connector.connection();
    return {connector.requestGeometry(win),
            connector.pending(xcb_get_property(conn, 0, win, motifWmHints, motifWmHints, 0, motifHintsWords)),
            connector.requestProperty(win, netWmState, XCB_ATOM_ATOM),
            connector.pending(xcb_get_property(conn, 0, win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS,
                                               0, sizeHintsWords)),
            connector.requestProperty(win, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW)};
}

Placement::ClientWishes Placement::collectWishes(PendingWishes wishes,
                                                 const std::list<uint32_t>& types) const {
    ClientWishes read;
    // The raw reply: the client's own X border is kept to be given back.
    const auto [geometry, geometryError] = wishes.geometry.reply(xcb_get_geometry_reply);
    if (geometry) {
        read.geometry = {geometry->x, geometry->y, geometry->width, geometry->height};
        read.borderWidth = geometry->border_width;
    }
    read.noDecorations =
        asksNoDecorations(connector.collectProperty(std::move(wishes.motifHints), "onMapRequest"));
    read.fullscreenState =
        listsAtom(connector.collectProperty(std::move(wishes.state), "onMapRequest"), netWmStateFullscreen);
    const std::string normalHints = connector.collectProperty(std::move(wishes.normalHints), "onMapRequest");
    read.ownPosition = hasOwnPosition(normalHints, read.geometry);
    read.gravity = windowGravity(normalHints);
    read.transientFor =
        firstWindow(connector.collectProperty(std::move(wishes.transientFor), "onMapRequest"));
    read.dialog = std::find(types.begin(), types.end(), netWmWindowTypeDialog) != types.end();
    return read;
}

// The rule's decoration, unless the client asks for none or the rule takes
// the title bar away: then the client alone, edge to edge.
void Placement::decorate(WmWindow& window, const Decision& decision, const ClientWishes& wishes) const {
    window.setFullscreen = decision.fullscreen;
    if (kalder_enabled() > 0 || !decision.titlebar || wishes.noDecorations) {
        window.titleHeight = 0;
        window.borderWidth = 0;
    }
    if (window.titleHeight == 0) {
        return;
    }
    if (decision.fullscreen) {
        window.borderWidth = 0;
        window.iconImage = &fullscreen_logo;
        window.iconPixels = fullscreen_logo.pixel_data;
    } else {
        window.iconImage = &window_logo;
        window.iconPixels = window_logo.pixel_data;
        window.closeImage = &close_icon;
        window.closePixels = close_icon.pixel_data;
    }
    if (!decision.frame) {
        // A false frame decision only takes the border away: the title bar stays.
        window.borderWidth = 0;
    }
}

// The place the window would have as an ordinary window is where it returns
// when it leaves the full-screen state.
FramePlacement Placement::placeNew(WmWindow& window, const ClientWishes& wishes, const Xcb::Size& root) {
    const Xcb::Rect asked =
        wishes.ownPosition ? withGravity(wishes.geometry, window.gravity, window.metrics()) : wishes.geometry;
    const FramePlacement normal =
        firstPlace(asked, window.metrics(), root, centreOver(wishes, root),
                   [this](int16_t x, int16_t y) { return takenPlaces.count(placeKey(x, y)) != 0; });
    window.admittedAt = normal.frame;
    window.restorePlace = normal.frame;
    window.restoreMetrics = window.metrics();
    if (wishes.fullscreenState) {
        window.stateFullscreen = true;
        window.setMetrics({});
    }
    holdPlace(window);
    return window.locked() ? fullscreenPlace(window.metrics(), root) : normal;
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

// A transient or dialog window without a place of its own is centred over
// the window it belongs to, or over the screen when that is not managed.
std::optional<Xcb::Rect> Placement::centreOver(const ClientWishes& wishes, const Xcb::Size& root) const {
    if (wishes.ownPosition || (!wishes.dialog && wishes.transientFor == XCB_WINDOW_NONE)) {
        return std::nullopt;
    }
    if (const WmWindow* parent = windows.findByClient(wishes.transientFor)) {
        const Xcb::Rect over = Xcb::Connector::collectGeometry(
            connector.requestGeometry(parent->frame != 0 ? parent->frame : parent->win));
        if (over.width != 0) {
            return over;
        }
    }
    return Xcb::Rect{0, 0, root.width, root.height};
}

}  // namespace Velk
