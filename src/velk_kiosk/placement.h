// Where and how big every top-level window is: admission on MapRequest (rule,
// record, frame, full-screen size, focus), the filter of the clients' own
// configure requests, the withdrawal of a framed window and the re-layout
// after a RandR screen change.  Each handler sends its requests together and
// collects the answers afterwards: one or two round trips, a new frame's
// own apart.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "velk_kiosk/configure_values.h"
#include "velk_kiosk/focus.h"
#include "velk_kiosk/framer.h"
#include "velk_kiosk/rule_lookup.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

class Placement {
public:
    // Interns the atoms of the EWMH window name.
    Placement(const Xcb::Connector& xConnector, WindowList& records, const RuleLookup& ruleLookup,
              Framer& frames, Focus& focusKeeper);

    void onMapRequest(const xcb_map_request_event_t* event);
    void onConfigureRequest(const xcb_configure_request_event_t* event);
    void unmapNotify(uint32_t win, uint32_t eventWindow);
    void randrNotifyCrtcChanged(uint16_t width, uint16_t height);
    // A client's _NET_WM_STATE request about _NET_WM_STATE_FULLSCREEN; the
    // action is 0 to remove, 1 to add, 2 to toggle the state.
    void changeFullscreenState(xcb_window_t win, uint32_t action);

private:
    struct Decision {
        bool fullscreen;
        bool frame;
    };
    // A window's record, and its new frame's last requests when it got one.
    struct Admission {
        WmWindow& window;
        std::optional<Framer::UnconfirmedFrame> frame;
    };
    using PendingConfigures = std::vector<Xcb::Connector::PendingConfigure>;

    Decision decide(uint32_t win, const JsonWindow* rule, Xcb::PendingProperty wmName) const;
    bool isFullscreenRule(const JsonWindow* rule) const;
    bool isFrameWindow(const JsonWindow* rule, uint32_t win, Xcb::PendingProperty wmName) const;
    Admission admitWindow(uint32_t win, const Decision& decision, Framer::FrameReads reads,
                          const Xcb::Rect& root);
    void showAdmitted(Admission admitted, const Xcb::Rect& root);
    void dropWithdrawnClient(const WmWindow& window, const Xcb::Rect& frameGeometry);
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
    xcb_atom_t netWmName = 0;
    xcb_atom_t utf8String = 0;
};

}  // namespace Velk
