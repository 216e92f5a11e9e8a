// The kiosk window manager: holds the display's substructure redirect, admits
// every top-level window the kiosk program maps into a frame chosen by the
// window rules, keeps windows on the screen and follows RandR size changes.
// Its events are handled when the kiosk's loop (kiosk_loop.h) finds the
// connection readable.
#pragma once

#include <xcb/xfixes.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "logger.h"
#include "velk_kiosk/client_ewmh.h"
#include "velk_kiosk/client_protocols.h"
#include "velk_kiosk/descendants.h"
#include "velk_kiosk/event_turns.h"
#include "velk_kiosk/ewmh.h"
#include "velk_kiosk/focus.h"
#include "velk_kiosk/framer.h"
#include "velk_kiosk/kiosk_atoms.h"
#include "velk_kiosk/monitors.h"
#include "velk_kiosk/placement.h"
#include "velk_kiosk/root_size.h"
#include "velk_kiosk/rule_lookup.h"
#include "velk_kiosk/server_time.h"
#include "velk_kiosk/stacking.h"
#include "velk_kiosk/window_records.h"
#include "velk_kiosk/write_pace.h"
#include "xcb/xcb.h"

namespace Velk {

// Why the display cannot be taken over, in words for whoever started the
// kiosk (main says them on standard error): no X server answers, another
// window manager holds the display, an extension the kiosk needs is missing.
class DisplayError : public velk_error {
public:
    using velk_error::velk_error;
};

// Whether an X error only says that a client's window went before the
// kiosk's request about it reached the server; see wm_kiosk.cpp.  The
// kiosk's own ids are those outside resourceMask equal to ownBase.
bool isGoneWindowRace(const xcb_generic_error_t& error, uint32_t resourceMask, uint32_t ownBase);

// The connection and its one dispatch.  The parts it owns do the work: the
// atoms (KioskAtoms), the window records (WindowList), the rule lookup
// (RuleLookup), the frames and the pointer on them (Framer), the stacking
// (Stacking), the placement handlers (Placement), the focus (Focus), the
// root's EWMH state (Ewmh), the clients' EWMH properties (ClientEwmh) and the
// ICCCM messages to clients (ClientProtocols).
class WmKiosk : public Xcb::Connector, public Syslog {
public:
    // Connects to ":<display>" (20 attempts 100 ms apart, with the cookie of
    // XCB_AUTH_COOKIE when set), loads the rules from rulesPath and takes the
    // root's substructure redirect.  Throws DisplayError when the display
    // cannot be had, velk_error("WmKiosk") for other failures.  A broken rules
    // file is logged and leaves no rules.
    WmKiosk(int display, std::filesystem::path rulesPath);
    // Frees the title-bar stamps and the cursors, takes the root's EWMH
    // properties away, then disconnects; the server gives the framed clients
    // back to the root through the save set.
    ~WmKiosk() override;

    WmKiosk(const WmKiosk&) = delete;
    WmKiosk& operator=(const WmKiosk&) = delete;

    // Every X request failure of the window manager, in its own wording: a
    // failure that only says a client's window went meanwhile is a debug line.
    void toSyslogError(const Xcb::GenericError& error, std::string_view caller,
                       std::string_view request) const override;

    // Readable when the server has sent something.
    int connectionFd() const;
    // Handles every event the server has sent, and those that come while it
    // does so, then flushes: what the kiosk sends is on its way before the
    // loop sleeps.  False once the connection is broken.
    bool handleEvents();
    // When handleEvents has work of its own to do without an event: a paced
    // write of the root's lists; none when it has nothing.
    std::optional<WritePace::Clock::time_point> nextWorkAt() const { return rootListPace.dueAt(); }
    // SIGHUP: the rules file read again; one that has problems leaves the
    // rules in force.
    void reloadRules();
    // At a stop: SIGTERM to the processes named by the windows' _NET_WM_PID
    // that descend from the kiosk, each once.
    void signalClientProcesses() const;
    // At the kiosk's end: the clients' own X borders back.
    void giveBack() const;

private:
    // Pagers see a list at most this late; a burst of new windows writes it
    // once per gap instead of once per window.
    static constexpr auto rootListGap = std::chrono::milliseconds(20);

    void connectWithRetries(int display, const std::vector<uint8_t>& cookie);
    void checkExtensions();
    void takeRootRedirect();
    std::vector<PidFd> holdClientProcesses() const;
    // Takes what `next` gives into the turns; false when it gave nothing.
    bool takeEvents(xcb_generic_event_t* (*next)(xcb_connection_t*));
    void dispatch(const Xcb::GenericEvent& event);

    void dispatchCoreEvent(const Xcb::GenericEvent& event);
    bool dispatchPointerEvent(uint8_t type, const xcb_generic_event_t* generic);
    void onRandrNotify(const xcb_generic_event_t* event);
    // The monitors read again after a change RandR or the root reported,
    // and the work area they leave published.
    void followMonitors();
    void onFixesCursorNotify(const xcb_generic_event_t* event) const;
    void onDestroyNotify(const xcb_destroy_notify_event_t* event);
    bool dispatchRootEvent(uint8_t type, const xcb_generic_event_t* generic);
    void onFocusChange(const xcb_focus_in_event_t* event, bool in);
    void onStateRequest(xcb_window_t win, const uint32_t* data);
    void onUnmapNotify(const xcb_unmap_notify_event_t* event);
    void onButtonPress(const xcb_button_press_event_t* event);
    void onMapRequest(const xcb_map_request_event_t* event);
    void onConfigureRequest(const xcb_configure_request_event_t* event);
    void onClientMessage(const xcb_client_message_event_t* event);
    void closeWindow(xcb_window_t win, xcb_timestamp_t time) const;
    // The root's client lists, active window and the clients' WM_STATE
    // brought up to the records after a handler that may have changed them.
    void publishClientState();
    void onUncheckedError(const Xcb::GenericEvent& event) const;

    WindowList windows;
    // Made once connected, in this order; Placement works with the others.
    std::unique_ptr<KioskAtoms> atoms;
    std::unique_ptr<RuleLookup> rules;
    std::unique_ptr<ClientProtocols> clientProtocols;
    std::unique_ptr<Framer> framer;
    std::unique_ptr<RootSize> rootSize;
    std::unique_ptr<Monitors> monitors;
    std::unique_ptr<Ewmh> ewmh;
    std::unique_ptr<Stacking> stacking;
    std::unique_ptr<ServerTime> serverTime;
    std::unique_ptr<Focus> focus;
    std::unique_ptr<ClientEwmh> clientEwmh;
    std::unique_ptr<Placement> placement;
    std::unique_ptr<EventTurns> turns;
    WritePace rootListPace{rootListGap};
    const xcb_query_extension_reply_t* randrExt = nullptr;
    const xcb_query_extension_reply_t* xfixesExt = nullptr;
};

}  // namespace Velk
