// Where and how big every top-level window is: admission on MapRequest (rule,
// the client's own wishes, record, frame at the final place, then the map,
// focus), the filter of the clients' own configure requests, the EWMH
// full-screen state, the withdrawal of a window and the re-layout
// after a RandR screen change.  Each handler sends its requests together and
// collects the answers afterwards: one or two round trips.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "velk_kiosk/configure_values.h"
#include "velk_kiosk/focus.h"
#include "velk_kiosk/frame_geometry.h"
#include "velk_kiosk/framer.h"
#include "velk_kiosk/root_size.h"
#include "velk_kiosk/rule_lookup.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

class Placement {
public:
    // Interns the atoms of the EWMH window name.
    Placement(const Xcb::Connector& xConnector, WindowList& records, const RuleLookup& ruleLookup,
              Framer& frames, Focus& focusKeeper, const RootSize& screenSize);

    void onMapRequest(const xcb_map_request_event_t* event);
    void onConfigureRequest(const xcb_configure_request_event_t* event);
    void unmapNotify(uint32_t win, uint32_t eventWindow);
    void randrNotifyCrtcChanged(uint16_t width, uint16_t height);
    // _NET_WM_STATE_FULLSCREEN asked for by a client message: action 0
    // removes it, 1 adds it, 2 toggles it.  The window then covers the whole
    // screen without decorations, or returns to the place and size it had.
    // False when the window is not managed or the action unknown.
    bool changeFullscreenState(xcb_window_t win, uint32_t action);

private:
    struct Decision {
        bool fullscreen;
        bool frame;
        bool titlebar;
    };
    // What a client asks for itself, read at its map.
    struct ClientWishes {
        Xcb::Rect geometry;
        uint16_t borderWidth = 0;
        bool noDecorations = false;
        bool fullscreenState = false;
        bool ownPosition = false;
        uint32_t gravity = XCB_GRAVITY_NORTH_WEST;
        bool dialog = false;
        xcb_window_t transientFor = XCB_WINDOW_NONE;
    };
    struct PendingWishes {
        Xcb::PendingGeometry geometry;
        Xcb::PendingProperty motifHints;
        Xcb::PendingProperty state;
        Xcb::PendingProperty normalHints;
        Xcb::PendingProperty transientFor;
    };
    // A window's record, where its frame goes, and its new frame's requests
    // when it got one.
    struct Admission {
        WmWindow& window;
        FramePlacement place;
        std::optional<Framer::UnconfirmedFrame> frame;
    };
    using PendingConfigures = std::vector<Xcb::Connector::PendingConfigure>;

    Decision decide(uint32_t win, const JsonWindow* rule, Xcb::PendingProperty wmName) const;
    bool isFullscreenRule(const JsonWindow* rule) const;
    bool isFrameWindow(const JsonWindow* rule, uint32_t win, Xcb::PendingProperty wmName) const;
    PendingWishes requestWishes(uint32_t win) const;
    ClientWishes collectWishes(PendingWishes wishes, const std::list<uint32_t>& types) const;
    Admission admitWindow(uint32_t win, const Decision& decision, const ClientWishes& wishes,
                          Xcb::PendingAttributes frameRead, const Xcb::Rect& root);
    void decorate(WmWindow& window, const Decision& decision, const ClientWishes& wishes) const;
    FramePlacement placeNew(WmWindow& window, const ClientWishes& wishes, const Xcb::Size& root);
    static uint32_t placeKey(int16_t x, int16_t y);
    // The window's first place counts as taken while it is not full screen.
    void holdPlace(const WmWindow& window);
    void releasePlace(const WmWindow& window);
    std::optional<Xcb::Rect> centreOver(const ClientWishes& wishes, const Xcb::Size& root) const;
    void showAdmitted(Admission admitted, const Xcb::Rect& root);
    void dropWithdrawnClient(const WmWindow& window, const Xcb::Rect& frameGeometry);
    void enterFullscreen(WmWindow& window);
    void leaveFullscreen(WmWindow& window);
    // The window at the target rectangle with its present decoration, its
    // extents published and its frame painted again.
    void applyLayout(const WmWindow& window, const Xcb::Rect& target) const;
    // The client's _NET_WM_STATE: the states the kiosk keeps for it.
    void publishState(const WmWindow& window) const;
    // The window at the target rectangle; a framed client at `inside` its frame.
    void requestLayout(const WmWindow& window, const Xcb::Rect& target, const Xcb::Rect& inside,
                       PendingConfigures& changes) const;
    void applyConfigure(uint32_t win, ConfigureValues values, bool fullscreen, const Xcb::Size& root);
    Xcb::PendingCheck requestConfigureValues(uint32_t target, const ConfigureValues& values) const;
    void notifyClientGeometry(uint32_t win, const Xcb::Rect& place) const;

    const Xcb::Connector& connector;
    WindowList& windows;
    const RuleLookup& rules;
    Framer& framer;
    Focus& focus;
    const RootSize& rootSize;
    xcb_atom_t netWmName = 0;
    xcb_atom_t utf8String = 0;
    xcb_atom_t netWmState = 0;
    xcb_atom_t netWmStateFullscreen = 0;
    xcb_atom_t motifWmHints = 0;
    xcb_atom_t netWmWindowTypeDialog = 0;
    // How many windows that are not full screen were first placed with their
    // corner at each place (placeKey): a new window moves on from those.
    std::unordered_map<uint32_t, uint32_t> takenPlaces;
};

}  // namespace Velk
