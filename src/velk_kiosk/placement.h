// Where and how big every top-level window is: admission on MapRequest (rule,
// the client's own wishes, record, frame at the final place, its place in
// the stacking, then the map, focus), the filter of the clients' own
// configure requests, the EWMH states a client asks for, what a client
// changes after its map, the withdrawal of a window and the re-layout after
// a RandR screen change.  Each handler sends its requests together and
// collects the answers afterwards: one or two round trips.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "velk_kiosk/client_ewmh.h"
#include "velk_kiosk/configure_values.h"
#include "velk_kiosk/focus.h"
#include "velk_kiosk/frame_geometry.h"
#include "velk_kiosk/framer.h"
#include "velk_kiosk/kiosk_atoms.h"
#include "velk_kiosk/monitors.h"
#include "velk_kiosk/root_size.h"
#include "velk_kiosk/rule_lookup.h"
#include "velk_kiosk/stacking.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

class Placement {
public:
    // The parts a placement decision touches; they outlive it.
    struct Parts {
        const KioskAtoms& atoms;
        WindowList& windows;
        const RuleLookup& rules;
        Framer& framer;
        Focus& focus;
        Stacking& stacking;
        const ClientEwmh& clientEwmh;
        const RootSize& rootSize;
        Monitors& monitors;
    };
    Placement(const Xcb::Connector& xConnector, const Parts& parts);

    void onMapRequest(const xcb_map_request_event_t* event);
    void onConfigureRequest(const xcb_configure_request_event_t* event);
    void unmapNotify(uint32_t win, uint32_t eventWindow);
    // A CRTC changed: the monitors are read again (refreshMonitors).
    void randrNotifyCrtcChanged(uint16_t width, uint16_t height);
    // The monitors read again; when they changed, the windows of a monitor
    // that changed are laid out on it anew, those of a monitor that went on
    // one that remains.  True when they changed.
    bool refreshMonitors();
    // _NET_WM_FULLSCREEN_MONITORS: top, bottom, left, right monitor
    // indices, kept on the window and spanned in the full-screen state.
    void setFullscreenMonitors(xcb_window_t win, const std::array<uint32_t, 4>& edges);
    // A _NET_WM_STATE request, as requestedStates made it: full screen (the
    // whole screen without decorations, or back to the place and size it
    // had), the layer, the modal and attention states.  False when the
    // window is not managed.
    bool changeStates(xcb_window_t win, const WindowStates& wanted);
    // _NET_REQUEST_FRAME_EXTENTS: the decoration the window gets, published
    // before it is mapped.
    void requestFrameExtents(xcb_window_t win);
    // A property of a managed client changed: its decoration, size hints,
    // the window it belongs to, its input model and urgency, its type.
    void onPropertyNotify(const xcb_property_notify_event_t* event);

private:
    struct Decision {
        bool fullscreen;
        bool border;
        bool titlebar;
        std::string monitor;
    };
    // What a client asks for itself, read at its map.
    struct MapWishes {
        Xcb::Rect geometry;
        uint16_t borderWidth = 0;
        bool ownPosition = false;
        uint32_t gravity = XCB_GRAVITY_NORTH_WEST;
        ClientHints hints;
        std::string states;
    };
    struct PendingWishes {
        Xcb::PendingGeometry geometry;
        Xcb::PendingProperty motifHints;
        Xcb::PendingProperty state;
        Xcb::PendingProperty normalHints;
        Xcb::PendingProperty transientFor;
        Xcb::PendingProperty wmHints;
        Xcb::PendingProperty protocols;
    };
    // A window's record, where its frame goes, and its new frame's requests
    // when it got one.
    struct Admission {
        WmWindow& window;
        FramePlacement place;
        std::optional<Framer::UnconfirmedFrame> frame;
        // A new record, not one kept from an earlier map.
        bool fresh;
    };
    using PendingConfigures = std::vector<Xcb::Connector::PendingConfigure>;

    void watchClient(xcb_window_t win) const;
    Decision decide(uint32_t win, const JsonWindow* rule, Xcb::PendingProperty wmName) const;
    bool isFullscreenRule(const JsonWindow* rule) const;
    bool wantsBorder(const JsonWindow* rule, uint32_t win, Xcb::PendingProperty wmName) const;
    PendingWishes requestWishes(uint32_t win) const;
    MapWishes collectWishes(PendingWishes wishes, const std::list<uint32_t>& types) const;
    Admission admitWindow(uint32_t win, const Decision& decision, const MapWishes& wishes,
                          Xcb::PendingAttributes frameRead, const Xcb::Rect& root);
    // The decoration its rule, its wishes and its kind leave the window, on
    // a root of that size.
    FrameMetrics decorationFor(const WmWindow& window) const;
    // The window's metrics and title-bar pictures as decorationFor gives them.
    void decorate(WmWindow& window) const;
    FramePlacement placeNew(WmWindow& window, const MapWishes& wishes, const Xcb::Size& root);
    // Where a window that stays where it is placed goes: its area (heldArea)
    // for a full-screen one, centred on it at its own size for one that
    // cannot be resized; none for the others.
    std::optional<FramePlacement> heldPlace(const WmWindow& window) const;
    // The monitor's index the window is held on.
    size_t monitorOf(const WmWindow& window) const;
    // The monitor its rule names, else the one `where` is mostly on.
    std::string chooseMonitor(const WmWindow& window, const Xcb::Rect& where) const;
    // In the full-screen state its monitor (or the monitors it names);
    // otherwise its monitor's work area.
    Xcb::Rect heldArea(const WmWindow& window) const;
    // A dock's strut, read again; then every work area.
    void readStrut(WmWindow& window);
    // The docks' struts as the records hold them: the work areas anew, and
    // the windows held in place laid out in them.
    void reserveStruts();
    void relayoutMonitors(const Monitors& before);
    // Where an ordinary window's frame goes after the monitors changed;
    // none when the monitor it was mostly on stayed as it was.
    std::optional<Xcb::Rect> movedOnto(const Xcb::Rect& frame, const Monitors& before) const;
    static uint32_t placeKey(int16_t x, int16_t y);
    // The window's first place counts as taken while it is not full screen.
    void holdPlace(const WmWindow& window);
    void releasePlace(const WmWindow& window);
    std::optional<Xcb::Rect> centreOver(const MapWishes& wishes) const;
    void showAdmitted(Admission admitted);
    void dropWithdrawnClient(const WmWindow& window, const Xcb::Rect& frameGeometry);
    void enterFullscreen(WmWindow& window);
    void leaveFullscreen(WmWindow& window);
    // The window's decoration derived anew and its frame fitted to it;
    // `wasLocked`: it was held at full screen before the change.
    void redecorate(WmWindow& window, bool wasLocked);
    // A new rule decision after its type changed.
    void reconsiderRule(WmWindow& window);
    void readChangedProperty(WmWindow& window, xcb_atom_t property, const std::string& value);
    // The window at the target rectangle with its present decoration, its
    // EWMH properties published and its frame painted again.
    void applyLayout(WmWindow& window, const Xcb::Rect& target) const;
    // The window at the target rectangle; a framed client at `inside` its frame.
    void requestLayout(const WmWindow& window, const Xcb::Rect& target, const Xcb::Rect& inside,
                       PendingConfigures& changes) const;
    std::optional<Xcb::Rect> heldFrame(const WmWindow* managed, bool ruleFullscreen) const;
    void applyConfigure(uint32_t win, ConfigureValues values, const std::optional<Xcb::Rect>& held,
                        const Xcb::Size& root);
    Xcb::PendingCheck requestConfigureValues(uint32_t target, const ConfigureValues& values) const;
    void notifyClientGeometry(uint32_t win, const Xcb::Rect& place) const;

    const Xcb::Connector& connector;
    const KioskAtoms& atoms;
    WindowList& windows;
    const RuleLookup& rules;
    Framer& framer;
    Focus& focus;
    Stacking& stacking;
    const ClientEwmh& clientEwmh;
    const RootSize& rootSize;
    Monitors& monitors;
    // How many windows that are not full screen were first placed with their
    // corner at each place (placeKey): a new window moves on from those.
    std::unordered_map<uint32_t, uint32_t> takenPlaces;
};

}  // namespace Velk
