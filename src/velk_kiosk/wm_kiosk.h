// The kiosk window manager: holds the display's substructure redirect, admits
// every top-level window the kiosk program maps into a frame chosen by the
// window rules, keeps windows on the screen and follows RandR size changes.
// All X events are handled on one event thread owned by WmKiosk.
#pragma once

#include <xcb/xfixes.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "logger.h"
#include "velk_kiosk/client_protocols.h"
#include "velk_kiosk/descendants.h"
#include "velk_kiosk/ewmh.h"
#include "velk_kiosk/focus.h"
#include "velk_kiosk/framer.h"
#include "velk_kiosk/placement.h"
#include "velk_kiosk/root_size.h"
#include "velk_kiosk/rule_lookup.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

// Why the display cannot be taken over, in words for whoever started the
// kiosk (main says them on standard error): no X server answers, another
// window manager holds the display, an extension the kiosk needs is missing.
class DisplayError : public velk_error {
public:
    using velk_error::velk_error;
};

// The connection, the event thread and its dispatch.  The parts it owns do
// the work: the window records (WindowList), the rule lookup (RuleLookup),
// the frames and the pointer on them (Framer), the placement handlers
// (Placement), the focus (Focus), the root's EWMH state (Ewmh) and the ICCCM
// messages to clients (ClientProtocols).
class WmKiosk : public Xcb::Connector, public Syslog {
public:
    // Connects to ":<display>" (20 attempts 100 ms apart, with the cookie of
    // XCB_AUTH_COOKIE when set), loads the rules, takes the root's substructure
    // redirect, sets kioskRunning and starts the event thread.  Throws
    // DisplayError when the display cannot be had, velk_error("WmKiosk") for
    // other failures.  A broken rules file is logged and leaves no rules.
    explicit WmKiosk(int display);
    // Stops and joins the event thread, frees the title-bar stamps and the
    // cursors, then disconnects; the server gives the framed clients back
    // to the root through the save set.
    ~WmKiosk() override;

    WmKiosk(const WmKiosk&) = delete;
    WmKiosk& operator=(const WmKiosk&) = delete;

    // Every X request failure of the window manager, in its own wording.
    void toSyslogError(const Xcb::GenericError& error, std::string_view caller,
                       std::string_view request) const override;

    // The event thread: polls until kioskRunning is cleared or the connection
    // fails; after a stop it signals the processes of the managed windows that
    // descend from the kiosk, and the kiosk's program.
    void threadLoop();
    // Takes the program the kiosk started: it gets SIGTERM when the kiosk is
    // stopped (at once when the stop came first), so that it ends even when
    // no window of it names its pid.
    void holdProgram(PidFd process);
    // Dispatches at most one pending event; false when none was pending.
    bool poolEvents();

private:
    void connectWithRetries(int display, const std::vector<uint8_t>& cookie);
    void checkExtensions();
    void takeRootRedirect();
    void waitForInput() const;
    std::vector<PidFd> holdClientProcesses() const;
    void stopProgram();
    void signalProgram() const;

    void dispatchCoreEvent(const Xcb::GenericEvent& event);
    bool dispatchPointerEvent(uint8_t type, const xcb_generic_event_t* generic);
    void onRandrNotify(const xcb_generic_event_t* event);
    void onFixesCursorNotify(const xcb_generic_event_t* event) const;
    void onDestroyNotify(const xcb_destroy_notify_event_t* event) const;
    void onUnmapNotify(const xcb_unmap_notify_event_t* event);
    void onButtonPress(const xcb_button_press_event_t* event);
    void onMapRequest(const xcb_map_request_event_t* event);
    void onConfigureRequest(const xcb_configure_request_event_t* event);
    void onClientMessage(const xcb_client_message_event_t* event);
    void closeWindow(xcb_window_t win, xcb_timestamp_t time) const;
    // The root's client lists, active window and the clients' WM_STATE
    // brought up to the records after a handler that may have changed them.
    void publishClientState(bool restacked);
    void onUncheckedError(const Xcb::GenericEvent& event) const;

    WindowList windows;
    // Made once connected, in this order; Placement works with the others.
    std::unique_ptr<RuleLookup> rules;
    std::unique_ptr<ClientProtocols> clientProtocols;
    std::unique_ptr<Framer> framer;
    std::unique_ptr<Ewmh> ewmh;
    std::unique_ptr<Focus> focus;
    std::unique_ptr<RootSize> rootSize;
    std::unique_ptr<Placement> placement;
    const xcb_query_extension_reply_t* randrExt = nullptr;
    const xcb_query_extension_reply_t* xfixesExt = nullptr;
    xcb_atom_t netWmPid = 0;
    std::thread eventThread;

    // The one thing two threads share: the program, handed over by the main
    // thread (holdProgram) while the event thread may be ending on a stop
    // (stopProgram).  Everything else is the event thread's alone, or read
    // by the destructor after that thread has been joined.
    std::mutex programLock;
    std::optional<PidFd> program;
    // The event thread has ended on a stop and signalled what it held.
    bool stopped = false;
};

}  // namespace Velk
