// The window manager's life: construction on the display, the event thread
// with its one dispatch table, the X error wording and the shutdown that asks
// the processes of the managed windows to end.
#include "velk_kiosk/wm_kiosk.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>

#include "utils/strings.h"
#include "velk_kiosk/kiosk.h"
#include "velk_kiosk/rules_file.h"

namespace Velk {

namespace {

constexpr int connectAttempts = 20;
constexpr auto connectPause = std::chrono::milliseconds(100);
// The longest the idle event thread waits before it looks at kioskRunning again.
constexpr int idleWaitMs = 10;
// StructureNotify: the root's own size changes, followed by RootSize.
constexpr uint32_t rootEventMask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                                   XCB_EVENT_MASK_STRUCTURE_NOTIFY;

std::vector<uint8_t> cookieFromEnvironment() {
    const char* hex = std::getenv("XCB_AUTH_COOKIE");
    return hex ? Utils::hexstr2bytes(hex) : std::vector<uint8_t>{};
}

// _NET_WM_PID is written by clients: 0 would be the kiosk's own process
// group, 0xFFFFFFFF reads as -1 (every process), and neither init nor the
// kiosk itself is ever asked to end this way.
// Touch kiosks have no pointer to show.
bool pointerHidden() {
    const char* value = std::getenv("VELK_KIOSK_HIDE_POINTER");
    return value && std::string_view(value) == "1";
}

bool isSignallablePid(uint32_t value) {
    return value > 1 && value <= static_cast<uint32_t>(INT_MAX) && static_cast<pid_t>(value) != getpid();
}

}  // namespace

WmKiosk::WmKiosk(int display) : Syslog("velk_kiosk") {
    const std::vector<uint8_t> cookie = cookieFromEnvironment();
    // By name, so that VELK_LOG_LEVEL can say otherwise.
    Syslog::setDebugLevel("debug");
    connectWithRetries(display, cookie);
    rules = std::make_unique<RuleLookup>(*this, installedRulesPath);
    clientProtocols = std::make_unique<ClientProtocols>(*this);
    framer = std::make_unique<Framer>(*this, windows, *clientProtocols);
    checkExtensions();
    takeRootRedirect();
    framer->showRootPointer(pointerHidden());
    netWmPid = getAtom("_NET_WM_PID", true);
    ewmh = std::make_unique<Ewmh>(*this);
    focus = std::make_unique<Focus>(*this, windows, *ewmh, *clientProtocols);
    rootSize = std::make_unique<RootSize>(screen->root,
                                          Xcb::Size{screen->width_in_pixels, screen->height_in_pixels});
    placement = std::make_unique<Placement>(*this, windows, *rules, *framer, *focus, *rootSize);
    xcb_randr_select_input(conn.get(), screen->root, XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);

    kioskRunning.exchange(true);
    eventThread = std::thread(&WmKiosk::threadLoop, this);
    xcb_flush(conn.get());
}

WmKiosk::~WmKiosk() {
    kioskRunning.exchange(false);
    if (eventThread.joinable()) {
        eventThread.join();
    }
    placement.reset();
    focus.reset();
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
    Syslog::error("%s: %s failed, error code: %u, major: 0x%02x, minor: 0x%04x, sequence: %u",
                  callerText.c_str(), requestText.c_str(), error->error_code, error->major_code,
                  error->minor_code, error->sequence);
}

void WmKiosk::threadLoop() {
    bool connectionLost = false;
    while (kioskRunning) {
        if (const int code = hasError()) {
            kioskRunning.exchange(false);
            Syslog::error("%s: xcb error, code: %d", "threadLoop", code);
            connectionLost = true;
            break;
        }
        if (rulesReloadRequested.exchange(false)) {
            rules->loadRules();
            Syslog::notice("%s: rules read again, rules: %zu, file: %s", "threadLoop", rules->ruleCount(),
                           rules->path().c_str());
        }
        bool handled = false;
        try {
            handled = poolEvents();
        } catch (const std::exception& err) {
            // One bad event must not end the window manager.
            Syslog::error("%s: exception: %s", "threadLoop", err.what());
            handled = true;
        }
        if (!handled) {
            waitForInput();
        }
    }
    // A lost connection is no stop: the program loses its display too, and
    // the kiosk waits for it to end by itself.
    if (!connectionLost) {
        framer->giveBordersBack();
        // Every process is held and judged before the first signal goes out,
        // so that one which ends on an early signal is still signalled for
        // its later windows.
        for (const PidFd& process : holdClientProcesses()) {
            Syslog::debug("%s: send kill to: %d", "threadLoop", static_cast<int>(process.pid()));
            process.signal(SIGTERM);
        }
        stopProgram();
    }
    Syslog::debug("%s: ended", "threadLoop");
}

void WmKiosk::holdProgram(PidFd process) {
    const std::lock_guard<std::mutex> guard(programLock);
    program = std::move(process);
    if (stopped) {
        signalProgram();
    }
}

// Whichever of the event thread's end and the hand-over comes second signals
// the program, so a stop during its start is not lost.
void WmKiosk::stopProgram() {
    const std::lock_guard<std::mutex> guard(programLock);
    stopped = true;
    signalProgram();
}

// Under `programLock`.  After an orderly end the program has already been waited
// for; its pidfd then reaches nobody.
void WmKiosk::signalProgram() const {
    if (program && program->signal(SIGTERM)) {
        Syslog::debug("%s: sent SIGTERM to program: %d", "signalProgram", static_cast<int>(program->pid()));
    }
}

// Wakes as soon as the server sends something, so an event is handled the
// moment it arrives rather than after a fixed pause.
void WmKiosk::waitForInput() const {
    pollfd input{xcb_get_file_descriptor(conn.get()), POLLIN, 0};
    poll(&input, 1, idleWaitMs);
}

std::vector<PidFd> WmKiosk::holdClientProcesses() const {
    std::vector<PidFd> held;
    for (const auto& window : windows.records()) {
        if (hasError()) {
            break;
        }
        const uint32_t pid = getPropertyCardinal(window.win, netWmPid);
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

bool WmKiosk::poolEvents() {
    const Xcb::GenericEvent event(xcb_poll_for_event(conn.get()));
    if (!event) {
        return false;
    }
    const uint8_t type = event->response_type & ~0x80;
    if (type == randrExt->first_event + XCB_RANDR_NOTIFY) {
        onRandrNotify(event.get());
    } else if (type == xfixesExt->first_event + XCB_XFIXES_CURSOR_NOTIFY) {
        onFixesCursorNotify(event.get());
    } else {
        dispatchCoreEvent(event);
    }
    return true;
}

void WmKiosk::onRandrNotify(const xcb_generic_event_t* event) {
    const auto* notify = reinterpret_cast<const xcb_randr_notify_event_t*>(event);
    if (notify->subCode != XCB_RANDR_NOTIFY_CRTC_CHANGE) {
        return;
    }
    const auto& change = notify->u.cc;
    if (change.width != 0 && change.height != 0) {
        placement->randrNotifyCrtcChanged(change.width, change.height);
    }
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
    if (dispatchPointerEvent(type, generic)) {
        return;
    }
    switch (type) {
        case 0:
            onUncheckedError(event);
            break;
        case XCB_CONFIGURE_NOTIFY:
            rootSize->onConfigureNotify(reinterpret_cast<const xcb_configure_notify_event_t*>(generic));
            break;
        case XCB_DESTROY_NOTIFY:
            onDestroyNotify(reinterpret_cast<const xcb_destroy_notify_event_t*>(generic));
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

// Only logged: a mapped window is unmapped before it is destroyed, and its
// record went with that unmap.
void WmKiosk::onDestroyNotify(const xcb_destroy_notify_event_t* event) const {
    Syslog::info("%s: window: %08x, event: %08x, sequence: %u", "onDestroyNotify", event->window,
                 event->event, event->sequence);
}

void WmKiosk::onUnmapNotify(const xcb_unmap_notify_event_t* event) {
    Syslog::debug("%s: window: %08x, event: %08x, sequence: %u", "onUnmapNotify", event->window, event->event,
                  event->sequence);
    placement->unmapNotify(event->window, event->event);
    publishClientState(false);
}

// The focus first: a press that came through the grab on a client holds the
// pointer frozen until the focus lets it go.
void WmKiosk::onButtonPress(const xcb_button_press_event_t* event) {
    const bool raised = focus->onButtonPress(event);
    framer->onButtonNotify(event, true);
    if (raised) {
        publishClientState(true);
    }
}

// A new frame is made on top of the others: the stacking order is known
// without asking the server.
void WmKiosk::onMapRequest(const xcb_map_request_event_t* event) {
    placement->onMapRequest(event);
    publishClientState(false);
}

// A client that raises its window to the top gets the focus with it.
void WmKiosk::onConfigureRequest(const xcb_configure_request_event_t* event) {
    placement->onConfigureRequest(event);
    if ((event->value_mask & XCB_CONFIG_WINDOW_STACK_MODE) == 0) {
        return;
    }
    if ((event->value_mask & XCB_CONFIG_WINDOW_SIBLING) == 0 && event->stack_mode == XCB_STACK_MODE_ABOVE) {
        focus->followRaise(event->window);
    }
    publishClientState(true);
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
            publishClientState(true);
            break;
        case Ewmh::Message::CloseWindow:
            closeWindow(event->window, data[0]);
            break;
        case Ewmh::Message::WmState:
            if (ewmh->isFullscreenState(data[1]) || ewmh->isFullscreenState(data[2])) {
                placement->changeFullscreenState(event->window, data[0]);
                publishClientState(true);
            }
            break;
        case Ewmh::Message::Other:
            break;
    }
}

// As the frame's close button does: the client is asked to close.
void WmKiosk::closeWindow(xcb_window_t win, xcb_timestamp_t time) const {
    const auto& records = windows.records();
    const bool managed = std::any_of(records.begin(), records.end(),
                                     [win](const WmWindow& window) { return window.win == win; });
    Syslog::info("%s: window: %08x, managed: `%s'", "closeWindow", win, managed ? "true" : "false");
    if (managed) {
        clientProtocols->askToClose(win, time);
    }
}

void WmKiosk::publishClientState(bool restacked) {
    ewmh->publish(windows, focus->active(), restacked);
}

// The error of a request sent unchecked (the drawing, a frame's taking down,
// the undoing of a frame that failed) arrives as an event; the major and
// minor codes in the report say which request it was.
void WmKiosk::onUncheckedError(const Xcb::GenericEvent& event) const {
    toSyslogError(event.asError(), "poolEvents", "unchecked request");
}

}  // namespace Velk
