// The window manager's life: construction on the display, the handling of
// what the server sent with its one dispatch table, the X error wording and
// the stop that asks the processes of the managed windows to end.
#include "velk_kiosk/wm_kiosk.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <thread>

#include "utils/strings.h"
#include "velk_kiosk/monitor_reader.h"

namespace Velk {

namespace {

constexpr int connectAttempts = 20;
constexpr auto connectPause = std::chrono::milliseconds(100);
// StructureNotify: the root's own size changes, followed by RootSize.
constexpr uint32_t rootEventMask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                                   XCB_EVENT_MASK_STRUCTURE_NOTIFY;

std::vector<uint8_t> cookieFromEnvironment() {
    const char* hex = std::getenv("XCB_AUTH_COOKIE");
    return hex ? Utils::hexstr2bytes(hex) : std::vector<uint8_t>{};
}

// Touch kiosks have no pointer to show.
bool pointerHidden() {
    const char* value = std::getenv("VELK_KIOSK_HIDE_POINTER");
    return value && std::string_view(value) == "1";
}

// _NET_WM_PID is written by clients: 0 would be the kiosk's own process
// group, 0xFFFFFFFF reads as -1 (every process), and neither init nor the
// kiosk itself is ever asked to end this way.
bool isSignallablePid(uint32_t value) {
    return value > 1 && value <= static_cast<uint32_t>(INT_MAX) && static_cast<pid_t>(value) != getpid();
}

}  // namespace

// A client's window may go at any moment, also between the event that named
// it and the kiosk's request about it: a request about a window that no
// longer exists (another client's: the kiosk's own frames go only when it
// says so) fails with BadWindow or BadDrawable, and the focus given to a
// window just unmapped with BadMatch.  Such a failure says nothing is wrong.
bool isGoneWindowRace(const xcb_generic_error_t& error, uint32_t resourceMask, uint32_t ownBase) {
    switch (error.error_code) {
        case XCB_WINDOW:
        case XCB_DRAWABLE:
            return (error.resource_id & ~resourceMask) != ownBase;
        case XCB_MATCH:
            return error.major_code == XCB_SET_INPUT_FOCUS;
        default:
            return false;
    }
}

WmKiosk::WmKiosk(int display, std::filesystem::path rulesPath) : Syslog("velk_kiosk") {
    const std::vector<uint8_t> cookie = cookieFromEnvironment();
    // By name, so that VELK_LOG_LEVEL can say otherwise.
    Syslog::setDebugLevel("debug");
    connectWithRetries(display, cookie);
    atoms = std::make_unique<KioskAtoms>(*this);
    rules = std::make_unique<RuleLookup>(*this, *atoms, std::move(rulesPath));
    clientProtocols = std::make_unique<ClientProtocols>(*this, *atoms);
    framer = std::make_unique<Framer>(*this, *atoms, windows, *clientProtocols);
    checkExtensions();
    takeRootRedirect();
    framer->showRootPointer(pointerHidden());
    rootSize = std::make_unique<RootSize>(screen->root,
                                          Xcb::Size{screen->width_in_pixels, screen->height_in_pixels});
    ewmh = std::make_unique<Ewmh>(*this, *atoms, rootSize->size());
    stacking = std::make_unique<Stacking>(*this, windows, setup->resource_id_mask, setup->resource_id_base);
    serverTime = std::make_unique<ServerTime>(*this, [this] { takeEvents(xcb_poll_for_queued_event); });
    serverTime->stampOn(ewmh->supportingWindow(), atoms->netSupportingWmCheck);
    focus = std::make_unique<Focus>(*this, windows, *stacking, *clientProtocols, *serverTime);
    clientEwmh = std::make_unique<ClientEwmh>(*this, *atoms);
    monitors = std::make_unique<Monitors>(rootSize->size());
    monitors->replace(readMonitors(*this), rootSize->size());
    placement =
        std::make_unique<Placement>(*this, Placement::Parts{*atoms, windows, *rules, *framer, *focus,
                                                            *stacking, *clientEwmh, *rootSize, *monitors});
    turns = std::make_unique<EventTurns>(setup->resource_id_mask, setup->resource_id_base, screen->root);
    // Monitors come and go with CRTCs and outputs; RandR 1.5's own monitors
    // (SetMonitor) are reported as a ConfigureNotify of the root.
    xcb_randr_select_input(conn.get(), screen->root,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    xcb_flush(conn.get());
}

WmKiosk::~WmKiosk() {
    placement.reset();
    focus.reset();
    stacking.reset();
    ewmh.reset();
    framer.reset();
    xcb_flush(conn.get());
}

void WmKiosk::connectWithRetries(int display, const std::vector<uint8_t>& cookie) {
    for (int attempt = 0; attempt < connectAttempts; ++attempt) {
        if (connectToDisplay(static_cast<uint32_t>(display), cookie.empty() ? nullptr : &cookie)) {
            Syslog::notice("%s: %s success", "WmKiosk", "X11 connector");
            return;
        }
        // sleep_for resumes with the time left when a signal interrupts it.
        std::this_thread::sleep_for(connectPause);
    }
    Syslog::error("%s: %s failed", "WmKiosk", "X11 connector");
    throw DisplayError("cannot connect to the X server of display :" + std::to_string(display));
}

void WmKiosk::checkExtensions() {
    randrExt = xcb_get_extension_data(conn.get(), &xcb_randr_id);
    if (!randrExt || !randrExt->present) {
        Syslog::error("%s: %s extension not found", "WmKiosk", "RANDR");
        throw DisplayError("the X server has no RANDR extension");
    }
    xfixesExt = xcb_get_extension_data(conn.get(), &xcb_xfixes_id);
    if (!xfixesExt || !xfixesExt->present) {
        Syslog::error("%s: %s extension not found", "WmKiosk", "XFIXES");
        throw DisplayError("the X server has no XFIXES extension");
    }
    const auto [version, error] = Xcb::getReply1(xcb_xfixes_query_version_reply, conn.get(),
                                                 xcb_xfixes_query_version(conn.get(), 6, 0));
    if (!version) {
        toSyslogError(error, "WmKiosk", "xcb_xfixes_query_version");
        throw velk_error("WmKiosk");
    }
}

// Only one client can hold the redirect: failing here means another window
// manager runs on the display.
void WmKiosk::takeRootRedirect() {
    const uint32_t values[] = {rootEventMask};
    const Xcb::GenericError error(xcb_request_check(
        conn.get(),
        xcb_change_window_attributes_checked(conn.get(), screen->root, XCB_CW_EVENT_MASK, values)));
    if (error && error->error_code == XCB_ACCESS) {
        Syslog::error("%s: another window manager is already running", "WmKiosk");
        throw DisplayError("another window manager is already running");
    }
    if (error || xcb_connection_has_error(conn.get())) {
        toSyslogError(error, "WmKiosk", "xcb_change_window_attributes");
        throw DisplayError("cannot take over the display");
    }
}

void WmKiosk::toSyslogError(const Xcb::GenericError& error, std::string_view caller,
                            std::string_view request) const {
    const std::string callerText(caller);
    const std::string requestText(request);
    if (!error) {
        Syslog::error("%s: %s failed", callerText.c_str(), requestText.c_str());
        return;
    }
    constexpr const char* failureFormat =
        "%s: %s failed, error code: %u, major: 0x%02x, minor: 0x%04x, sequence: %u";
    if (isGoneWindowRace(*error, setup->resource_id_mask, setup->resource_id_base)) {
        Syslog::debug(failureFormat, callerText.c_str(), requestText.c_str(), error->error_code,
                      error->major_code, error->minor_code, error->sequence);
        return;
    }
    Syslog::error(failureFormat, callerText.c_str(), requestText.c_str(), error->error_code,
                  error->major_code, error->minor_code, error->sequence);
}

int WmKiosk::connectionFd() const {
    return xcb_get_file_descriptor(conn.get());
}

bool WmKiosk::handleEvents() {
    for (;;) {
        takeEvents(xcb_poll_for_event);
        if (hasError()) {
            return false;
        }
        if (Xcb::GenericEvent event = turns->pop()) {
            dispatch(event);
            continue;
        }
        rootListPace.offer(WritePace::Clock::now(), [this] { return ewmh->writeRootLists(*stacking); });
        xcb_flush(conn.get());
        // A flush that had to wait may have read what the server sent
        // meanwhile: the loop must not sleep with it queued.
        if (!takeEvents(xcb_poll_for_queued_event)) {
            return hasError() == 0;
        }
    }
}

// Every event received so far goes to its turn before one is handled, so
// that one client's single event is handled ahead of another's thousands.
bool WmKiosk::takeEvents(xcb_generic_event_t* (*next)(xcb_connection_t*)) {
    bool taken = false;
    while (xcb_generic_event_t* event = next(conn.get())) {
        serverTime->note(*event);
        turns->push(Xcb::GenericEvent(event));
        taken = true;
    }
    return taken;
}

void WmKiosk::reloadRules() {
    if (rules->reloadRules()) {
        Syslog::notice("%s: rules read again, rules: %zu, file: %s", "reloadRules", rules->ruleCount(),
                       rules->path().c_str());
    }
}

void WmKiosk::signalClientProcesses() const {
    // Every process is held and judged before the first signal goes out,
    // so that one which ends on an early signal is still signalled for
    // its later windows.
    for (const PidFd& process : holdClientProcesses()) {
        Syslog::debug("%s: send kill to: %d", "signalClientProcesses", static_cast<int>(process.pid()));
        process.signal(SIGTERM);
    }
}

void WmKiosk::giveBack() const {
    framer->giveBordersBack();
}

std::vector<PidFd> WmKiosk::holdClientProcesses() const {
    std::vector<PidFd> held;
    for (const auto& window : windows.records()) {
        if (hasError()) {
            break;
        }
        const uint32_t pid = getPropertyCardinal(window.win, atoms->netWmPid);
        if (pid == 0) {
            continue;
        }
        // Any client may name any process; only the kiosk's own descendants
        // are asked to end.
        std::optional<PidFd> process =
            isSignallablePid(pid) ? PidFd::openDescendant(static_cast<pid_t>(pid)) : std::nullopt;
        if (!process) {
            Syslog::warning("%s: skipped pid: %u, window: %08x", "holdClientProcesses", pid, window.win);
            continue;
        }
        held.push_back(std::move(*process));
    }
    return held;
}

void WmKiosk::dispatch(const Xcb::GenericEvent& event) {
    const uint8_t type = event->response_type & ~0x80;
    try {
        if (type == randrExt->first_event + XCB_RANDR_NOTIFY) {
            onRandrNotify(event.get());
        } else if (type == randrExt->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
            followMonitors();
        } else if (type == xfixesExt->first_event + XCB_XFIXES_CURSOR_NOTIFY) {
            onFixesCursorNotify(event.get());
        } else {
            dispatchCoreEvent(event);
        }
    } catch (const std::exception& err) {
        // One bad event must not end the window manager.
        Syslog::error("%s: exception: %s", "dispatch", err.what());
    }
}

// A CRTC switched off, or an output that comes or goes, is a monitor that
// goes or comes too.
void WmKiosk::onRandrNotify(const xcb_generic_event_t* event) {
    const auto* notify = reinterpret_cast<const xcb_randr_notify_event_t*>(event);
    const auto& change = notify->u.cc;
    if (notify->subCode == XCB_RANDR_NOTIFY_CRTC_CHANGE && change.width != 0 && change.height != 0) {
        placement->randrNotifyCrtcChanged(change.width, change.height);
        ewmh->showWorkarea(monitors->rootWorkArea());
        return;
    }
    if (notify->subCode == XCB_RANDR_NOTIFY_CRTC_CHANGE ||
        notify->subCode == XCB_RANDR_NOTIFY_OUTPUT_CHANGE) {
        followMonitors();
    }
}

void WmKiosk::followMonitors() {
    placement->refreshMonitors();
    ewmh->showWorkarea(monitors->rootWorkArea());
}

void WmKiosk::onFixesCursorNotify(const xcb_generic_event_t* event) const {
    const auto* notify = reinterpret_cast<const xcb_xfixes_cursor_notify_event_t*>(event);
    const std::string name = getAtomName(notify->name);
    Syslog::info("%s: window: %08x, cursor serial: %08x, subtype: %02x, atom: [%08x,`%s']",
                 "onFixesCursorNotify", notify->window, notify->cursor_serial, notify->subtype, notify->name,
                 name.c_str());
}

// The pointer on the frames and clients, and the frames' exposure.
bool WmKiosk::dispatchPointerEvent(uint8_t type, const xcb_generic_event_t* generic) {
    switch (type) {
        case XCB_BUTTON_PRESS:
            onButtonPress(reinterpret_cast<const xcb_button_press_event_t*>(generic));
            return true;
        case XCB_BUTTON_RELEASE:
            framer->onButtonNotify(reinterpret_cast<const xcb_button_release_event_t*>(generic), false);
            return true;
        case XCB_MOTION_NOTIFY:
            framer->onMotionNotify(reinterpret_cast<const xcb_motion_notify_event_t*>(generic));
            return true;
        case XCB_ENTER_NOTIFY:
            framer->onEnterLeaveNotify(reinterpret_cast<const xcb_enter_notify_event_t*>(generic), true);
            return true;
        case XCB_LEAVE_NOTIFY:
            framer->onEnterLeaveNotify(reinterpret_cast<const xcb_leave_notify_event_t*>(generic), false);
            return true;
        case XCB_EXPOSE:
            framer->onExposeNotify(reinterpret_cast<const xcb_expose_event_t*>(generic));
            return true;
        default:
            return false;
    }
}

// The handlers of the frames and of placement are the event thread's own.
void WmKiosk::dispatchCoreEvent(const Xcb::GenericEvent& event) {
    const xcb_generic_event_t* generic = event.get();
    const auto type = static_cast<uint8_t>(generic->response_type & ~0x80);
    if (dispatchPointerEvent(type, generic) || dispatchRootEvent(type, generic)) {
        return;
    }
    switch (type) {
        case 0:
            onUncheckedError(event);
            break;
        case XCB_PROPERTY_NOTIFY:
            placement->onPropertyNotify(reinterpret_cast<const xcb_property_notify_event_t*>(generic));
            publishClientState();
            break;
        case XCB_FOCUS_IN:
            onFocusChange(reinterpret_cast<const xcb_focus_in_event_t*>(generic), true);
            break;
        case XCB_FOCUS_OUT:
            onFocusChange(reinterpret_cast<const xcb_focus_out_event_t*>(generic), false);
            break;
        case XCB_UNMAP_NOTIFY:
            onUnmapNotify(reinterpret_cast<const xcb_unmap_notify_event_t*>(generic));
            break;
        case XCB_MAP_REQUEST:
            onMapRequest(reinterpret_cast<const xcb_map_request_event_t*>(generic));
            break;
        case XCB_CONFIGURE_REQUEST:
            onConfigureRequest(reinterpret_cast<const xcb_configure_request_event_t*>(generic));
            break;
        case XCB_CLIENT_MESSAGE:
            onClientMessage(reinterpret_cast<const xcb_client_message_event_t*>(generic));
            break;
        default:
            // Events the kiosk does not use.
            break;
    }
}

// The root's children as the stacking follows them, and the root's own size.
bool WmKiosk::dispatchRootEvent(uint8_t type, const xcb_generic_event_t* generic) {
    switch (type) {
        case XCB_CONFIGURE_NOTIFY: {
            const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(generic);
            if (rootSize->onConfigureNotify(configure)) {
                ewmh->onRootResized(rootSize->size());
            }
            if (configure->window == screen->root) {
                followMonitors();
            }
            return true;
        }
        case XCB_CREATE_NOTIFY:
            stacking->onCreateNotify(reinterpret_cast<const xcb_create_notify_event_t*>(generic));
            return true;
        case XCB_REPARENT_NOTIFY:
            stacking->onReparentNotify(reinterpret_cast<const xcb_reparent_notify_event_t*>(generic));
            return true;
        case XCB_DESTROY_NOTIFY:
            onDestroyNotify(reinterpret_cast<const xcb_destroy_notify_event_t*>(generic));
            return true;
        default:
            return false;
    }
}

// A mapped window is unmapped before it is destroyed, and its record went
// with that unmap.
void WmKiosk::onDestroyNotify(const xcb_destroy_notify_event_t* event) {
    Syslog::info("%s: window: %08x, event: %08x, sequence: %u", "onDestroyNotify", event->window,
                 event->event, event->sequence);
    stacking->onDestroyNotify(event->window);
}

// A window that gets the focus has been attended to.
void WmKiosk::onFocusChange(const xcb_focus_in_event_t* event, bool in) {
    const WmWindow* got = focus->onFocusChange(event, in);
    if (got && got->states.demandsAttention) {
        WmWindow* attended = windows.findByClient(got->win);
        attended->states.demandsAttention = false;
        clientEwmh->publish(*attended);
    }
    publishClientState();
}

void WmKiosk::onUnmapNotify(const xcb_unmap_notify_event_t* event) {
    Syslog::debug("%s: window: %08x, event: %08x, sequence: %u", "onUnmapNotify", event->window, event->event,
                  event->sequence);
    placement->unmapNotify(event->window, event->event);
    publishClientState();
}

// The focus first: a press that came through the grab on a client holds the
// pointer frozen until the focus lets it go.
void WmKiosk::onButtonPress(const xcb_button_press_event_t* event) {
    focus->onButtonPress(event);
    framer->onButtonNotify(event, true);
}

void WmKiosk::onMapRequest(const xcb_map_request_event_t* event) {
    placement->onMapRequest(event);
    publishClientState();
}

// The stacking of a managed window is the kiosk's: a client that raises its
// window to the top gets the focus with it.
void WmKiosk::onConfigureRequest(const xcb_configure_request_event_t* event) {
    placement->onConfigureRequest(event);
    if ((event->value_mask & XCB_CONFIG_WINDOW_STACK_MODE) == 0 || !windows.findByClient(event->window)) {
        return;
    }
    const bool bySibling = (event->value_mask & XCB_CONFIG_WINDOW_SIBLING) != 0;
    stacking->restack(event->window, bySibling ? event->sibling : xcb_window_t{XCB_WINDOW_NONE},
                      event->stack_mode);
    if (!bySibling && event->stack_mode == XCB_STACK_MODE_ABOVE) {
        focus->followRaise(event->window);
    }
}

// The EWMH requests of programs, sent to the root.
void WmKiosk::onClientMessage(const xcb_client_message_event_t* event) {
    if (event->format != 32) {
        return;
    }
    const uint32_t* data = event->data.data32;
    switch (ewmh->messageKind(event->type)) {
        case Ewmh::Message::ActiveWindow:
            focus->activate(event->window);
            break;
        case Ewmh::Message::CloseWindow:
            closeWindow(event->window, data[0]);
            break;
        case Ewmh::Message::WmState:
            onStateRequest(event->window, data);
            break;
        case Ewmh::Message::RestackWindow:
            // data: source indication, sibling, stack mode.
            if (windows.findByClient(event->window)) {
                stacking->restack(event->window, data[1], static_cast<uint8_t>(data[2]));
            }
            break;
        case Ewmh::Message::RequestFrameExtents:
            placement->requestFrameExtents(event->window);
            break;
        case Ewmh::Message::FullscreenMonitors:
            // data: top, bottom, left, right, source indication.
            placement->setFullscreenMonitors(event->window, {data[0], data[1], data[2], data[3]});
            break;
        case Ewmh::Message::Other:
            break;
    }
}

// data: action, first state, second state.
void WmKiosk::onStateRequest(xcb_window_t win, const uint32_t* data) {
    const WmWindow* window = windows.findByClient(win);
    if (!window) {
        Syslog::debug("%s: window: %08x, not managed", "onStateRequest", win);
        return;
    }
    placement->changeStates(win, requestedStates(window->states, data[0], data[1], data[2], *atoms));
}

// As the frame's close button does: the client is asked to close.
void WmKiosk::closeWindow(xcb_window_t win, xcb_timestamp_t time) const {
    const bool managed = windows.findByClient(win) != nullptr;
    Syslog::info("%s: window: %08x, managed: `%s'", "closeWindow", win, managed ? "true" : "false");
    if (managed) {
        clientProtocols->askToClose(win, time);
    }
}

void WmKiosk::publishClientState() {
    ewmh->publish(windows, focus->active());
    ewmh->showWorkarea(monitors->rootWorkArea());
}

// The error of a request sent unchecked (the drawing, a frame's taking down,
// the undoing of a frame that failed) arrives as an event; the major and
// minor codes in the report say which request it was.
void WmKiosk::onUncheckedError(const Xcb::GenericEvent& event) const {
    toSyslogError(event.asError(), "onUncheckedError", "unchecked request");
}

}  // namespace Velk
