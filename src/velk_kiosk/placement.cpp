// Where and how big every top-level window is: admission on MapRequest, the
// filter of the clients' own configure requests, the withdrawal of a framed
// window and the re-layout after a RandR screen change.
#include <algorithm>
#include <utility>
#include <vector>

#include "integrity/platform_integrity.h"
#include "velk_kiosk/wm_kiosk.h"

namespace Velk {

namespace {

constexpr uint16_t positionMask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
constexpr uint16_t sizeMask = XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;

const char* yesNo(bool value) {
    return value ? "true" : "false";
}

// A configure request's values, all of them kept; the mask says which count.
struct ConfigureValues {
    uint16_t mask = 0;
    int32_t x = 0;
    int32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t borderWidth = 0;
    uint32_t sibling = 0;
    uint32_t stackMode = 0;
};

ConfigureValues fromRequest(const xcb_configure_request_event_t* event) {
    ConfigureValues values;
    values.mask = event->value_mask;
    values.x = event->x;
    values.y = event->y;
    values.width = event->width;
    values.height = event->height;
    if (event->value_mask & XCB_CONFIG_WINDOW_BORDER_WIDTH) {
        values.borderWidth = event->border_width;
    }
    if (event->value_mask & XCB_CONFIG_WINDOW_SIBLING) {
        values.sibling = event->sibling;
    }
    if (event->value_mask & XCB_CONFIG_WINDOW_STACK_MODE) {
        values.stackMode = event->stack_mode;
    }
    return values;
}

// The value list of ConfigureWindow: one word per mask bit, in bit order.
std::vector<uint32_t> packValues(const ConfigureValues& values) {
    const std::pair<uint16_t, uint32_t> fields[] = {
        {XCB_CONFIG_WINDOW_X, static_cast<uint32_t>(values.x)},
        {XCB_CONFIG_WINDOW_Y, static_cast<uint32_t>(values.y)},
        {XCB_CONFIG_WINDOW_WIDTH, values.width},
        {XCB_CONFIG_WINDOW_HEIGHT, values.height},
        {XCB_CONFIG_WINDOW_BORDER_WIDTH, values.borderWidth},
        {XCB_CONFIG_WINDOW_SIBLING, values.sibling},
        {XCB_CONFIG_WINDOW_STACK_MODE, values.stackMode},
    };
    std::vector<uint32_t> packed;
    for (const auto& [bit, value] : fields) {
        if (values.mask & bit) {
            packed.push_back(value);
        }
    }
    return packed;
}

// A window wider or taller than the root is put at 0 on that axis with the
// root's size; smaller ones keep their requested place, off screen too.
void clampToRoot(ConfigureValues& values, const Xcb::Size& root) {
    if ((values.mask & XCB_CONFIG_WINDOW_WIDTH) && values.width > root.width) {
        values.mask |= XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_WIDTH;
        values.x = 0;
        values.width = root.width;
    }
    if ((values.mask & XCB_CONFIG_WINDOW_HEIGHT) && values.height > root.height) {
        values.mask |= XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_HEIGHT;
        values.y = 0;
        values.height = root.height;
    }
}

// A full-screen window asks for anything but the whole root: it gets the root.
void holdFullscreen(ConfigureValues& values, const Xcb::Size& root, uint32_t win) {
    if (values.x == 0 && values.y == 0 && values.width == root.width && values.height == root.height) {
        return;
    }
    values.mask |= positionMask | sizeMask;
    values.x = 0;
    values.y = 0;
    values.width = root.width;
    values.height = root.height;
    Syslog::debug("%s: set fullscreen, window: %08x, size: %u, %u", "onConfigureRequest", win, root.width,
                  root.height);
}

void placeInside(ConfigureValues& values, const Xcb::Rect& inside) {
    values.mask |= positionMask | sizeMask;
    values.x = inside.x;
    values.y = inside.y;
    values.width = inside.width;
    values.height = inside.height;
}

// One axis of the re-layout: centred when it fits, else at 0 and cut to the screen.
void fitAxis(int16_t& position, uint16_t& size, uint16_t screenSize) {
    if (screenSize < size) {
        position = 0;
        size = screenSize;
    } else {
        position = static_cast<int16_t>((screenSize - size) / 2);
    }
}

}  // namespace

bool WmKiosk::isFullscreenRule(const JsonWindow* rule) const {
    if (!rule || !rule->fullscreen) {
        return false;
    }
    Syslog::debug("%s: `%s'", "isFullscreenWindow", "true");
    return true;
}

// The name is WM_NAME, or _NET_WM_NAME when WM_NAME is empty; WM_NAME was
// asked for with the map, _NET_WM_NAME is asked for only when needed.
bool WmKiosk::isFrameWindow(const JsonWindow* rule, uint32_t win, PendingProperty& wmName) const {
    if (rule && !rule->frame) {
        return false;
    }
    if (collectProperty(wmName).empty()) {
        PendingProperty netName = requestProperty(win, netWmName, utf8String);
        if (collectProperty(netName).empty()) {
            return false;
        }
    }
    Syslog::debug("%s: `%s'", "isFrameWindow", "true");
    return true;
}

void WmKiosk::onMapRequest(const xcb_map_request_event_t* event) {
    const xcb_window_t win = event->window;
    Syslog::info("%s: window: %08x, parent: %08x", "onMapRequest", win, event->parent);
    // The map and every read the decisions and a new frame need go out
    // together; unused answers are dropped.
    PendingCheck map(conn.get(), xcb_map_window_checked(conn.get(), win));
    std::optional<RuleReads> ruleReads = requestRuleFacts(win);
    PendingProperty wmName = requestProperty(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
    PendingGeometry rootRead(conn.get(), xcb_get_geometry(conn.get(), screen->root));
    FrameReads frameReads = requestFrameReads(win);
    if (const Xcb::GenericError mapError = map.check()) {
        toSyslogError(mapError, "onMapRequest", "xcb_map_window");
    }
    // One rule serves both decisions.
    const JsonWindow* rule = collectRule(win, std::move(ruleReads));
    const bool fullscreen = isFullscreenRule(rule);
    const bool frame = isFrameWindow(rule, win, wmName);
    Syslog::debug("%s: window: %08x, set fullscreen: `%s', set frame: `%s'", "onMapRequest", win,
                  yesNo(fullscreen), yesNo(frame));

    const Xcb::Rect root = geometryReply(rootRead);

    const std::lock_guard<std::mutex> guard(lock);
    // A new frame's last answers wait until the full-screen size and the
    // focus are sent too: one round trip for all of them.
    std::optional<FrameSettle> settle;
    const WmWindow& window = admitWindow(win, fullscreen, frame, frameReads, root, settle);
    std::vector<GeometryChange> fit;
    if (window.setFullscreen) {
        fit = fitToRoot(window, root);
    }
    PendingCheck focus = requestFocus(window.win);
    std::optional<SettledFrame> settled;
    if (settle) {
        settled = finishFrame(window, *settle);
    }
    for (auto& change : fit) {
        confirmGeometry(change);
    }
    if (settled && !settled->clientShown) {
        // The focus on a window that is not shown fails; its error goes
        // unread with `focus`.
        dropWithdrawnClient(window, settled->frame);
        return;
    }
    confirmFocus(focus, "onMapRequest");
}

// The client withdrew its window while it was being framed: the frame goes,
// as it would have gone on the unmap.  Under `lock`.
void WmKiosk::dropWithdrawnClient(const WmWindow& window, const Xcb::Rect& frameGeometry) {
    Syslog::info("%s: window: %08x, frame: %08x, withdrawn while framed", "onMapRequest", window.win,
                 window.frame);
    releaseFrame(window, frameGeometry);
    windows.remove_if([&window](const WmWindow& kept) { return &kept == &window; });
    if (!windows.empty()) {
        focusWindow(windows.front().win, "onMapRequest");
    }
}

WmKiosk::FrameReads WmKiosk::requestFrameReads(uint32_t win) const {
    return {{conn.get(), xcb_get_window_attributes(conn.get(), win)},
            {conn.get(), xcb_get_geometry(conn.get(), win)}};
}

// The record of the window: the one already kept (unchanged), or a new one at
// the front of the list with its frame.  Under `lock`.
WmWindow& WmKiosk::admitWindow(uint32_t win, bool fullscreen, bool frame, FrameReads& reads,
                               const Xcb::Rect& root, std::optional<FrameSettle>& settle) {
    if (WmWindow* known = findByClient(win)) {
        return *known;
    }
    WmWindow& window = windows.emplace_front(win);
    if (kalder_enabled() > 0) {
        window.titleHeight = 0;
        window.borderWidth = 0;
    }
    if (fullscreen) {
        window.borderWidth = 0;
        window.iconImage = &fullscreen_logo;
        window.iconPixels = fullscreen_logo.pixel_data;
        window.setFullscreen = true;
    } else {
        window.iconImage = &window_logo;
        window.iconPixels = window_logo.pixel_data;
        window.closeImage = &close_icon;
        window.closePixels = close_icon.pixel_data;
    }
    if (frame) {
        window.setFrame = true;
    } else {
        window.borderWidth = 0;
    }
    // A false frame decision only takes the border away: the title bar stays.
    createFrame(window, fullscreen, reads, root, settle);
    return window;
}

// The frame (or the frameless client) at the root's size; a framed client
// fills the frame's inside, below the title bar.  Sent, to be confirmed by
// the caller.
std::vector<WmKiosk::GeometryChange> WmKiosk::fitToRoot(const WmWindow& window, const Xcb::Rect& root) const {
    const Xcb::Rect whole{0, 0, root.width, root.height};
    std::vector<GeometryChange> changes;
    if (window.frame == 0) {
        changes.push_back(requestGeometry(window.win, whole));
        return changes;
    }
    changes.push_back(requestGeometry(window.frame, whole));
    changes.push_back(requestGeometry(window.win, clientInside({root.width, root.height}, window.metrics())));
    return changes;
}

WmKiosk::GeometryChange WmKiosk::requestGeometry(uint32_t win, const Xcb::Rect& place) const {
    const uint32_t values[] = {static_cast<uint32_t>(place.x), static_cast<uint32_t>(place.y), place.width,
                               place.height};
    const uint16_t mask = positionMask | sizeMask;
    return {{conn.get(), xcb_configure_window_checked(conn.get(), win, mask, values)}, win, place};
}

void WmKiosk::confirmGeometry(GeometryChange& change) const {
    const Xcb::GenericError error = change.request.check();
    if (error || xcb_connection_has_error(conn.get())) {
        toSyslogError(error, "setWindowGeometry", "xcb_configure_window");
        return;
    }
    Syslog::debug("%s: window id: 0x%08x, resize to: %ux%u, pos: %d, %d", "setWindowGeometry", change.win,
                  change.place.width, change.place.height, change.place.x, change.place.y);
}

PendingCheck WmKiosk::requestFocus(uint32_t win) const {
    return {conn.get(),
            xcb_set_input_focus_checked(conn.get(), XCB_INPUT_FOCUS_POINTER_ROOT, win, XCB_CURRENT_TIME)};
}

void WmKiosk::confirmFocus(PendingCheck& focus, const char* caller) const {
    if (const Xcb::GenericError error = focus.check()) {
        toSyslogError(error, caller, "xcb_set_input_focus");
    }
}

void WmKiosk::focusWindow(uint32_t win, const char* caller) const {
    PendingCheck focus = requestFocus(win);
    confirmFocus(focus, caller);
}

void WmKiosk::onConfigureRequest(const xcb_configure_request_event_t* event) {
    Syslog::info(
        "%s: window: %08x, parent: %08x, stack mode: %02x, sibling: %08x, x: %d, y: %d, w: %u, h: %u, border "
        "width: %u, value mask: %04x",
        "onConfigureRequest", event->window, event->parent, event->stack_mode, event->sibling, event->x,
        event->y, event->width, event->height, event->border_width, event->value_mask);
    const Xcb::Size root = getWindowSize(screen->root);
    const bool fullscreen = isFullscreenRule(findJsonWindow(event->window));
    ConfigureValues values = fromRequest(event);
    if (fullscreen) {
        holdFullscreen(values, root, event->window);
    } else {
        clampToRoot(values, root);
    }

    const auto configure = [this](uint32_t target, const ConfigureValues& request) {
        const std::vector<uint32_t> packed = packValues(request);
        const Xcb::GenericError error(xcb_request_check(
            conn.get(), xcb_configure_window_checked(conn.get(), target, request.mask, packed.data())));
        if (error) {
            toSyslogError(error, "onConfigureRequest", "xcb_configure_window");
        }
    };
    const std::lock_guard<std::mutex> guard(lock);
    const WmWindow* window = findByClient(event->window);
    if (window && window->frame != 0) {
        configure(window->frame, values);
        if (fullscreen) {
            // The frame now has the root's size: the client gets its inside.
            placeInside(values, clientInside(root, window->metrics()));
        } else if (values.mask & positionMask) {
            // The frame moved; the client keeps its place inside it.
            values.mask &= ~positionMask;
            if (window->frameBorderWidth != 0) {
                values.width -= 2 * window->frameBorderWidth;
                values.height -= 2 * window->frameBorderWidth;
            }
        }
    }
    configure(event->window, values);
    notifyClientGeometry(event->window, window ? window->frame : 0,
                         window ? window->metrics() : FrameMetrics{});
}

// ICCCM: every handled request is answered with a synthetic ConfigureNotify
// in root coordinates, also when the window did not move or change size;
// toolkits wait for it (up to their time-out) before they go on.
void WmKiosk::notifyClientGeometry(uint32_t win, uint32_t frame, const FrameMetrics& metrics) const {
    Xcb::Rect place = getWindowGeometry(win, false);
    if (frame != 0) {
        const Xcb::Rect outer = getWindowGeometry(frame, false);
        place.x = static_cast<int16_t>(outer.x + metrics.frameBorderWidth + metrics.borderWidth);
        place.y = static_cast<int16_t>(outer.y + metrics.frameBorderWidth + metrics.titleHeight);
    }
    xcb_configure_notify_event_t notify{};
    notify.response_type = XCB_CONFIGURE_NOTIFY;
    notify.event = win;
    notify.window = win;
    notify.above_sibling = XCB_NONE;
    notify.x = place.x;
    notify.y = place.y;
    notify.width = place.width;
    notify.height = place.height;
    xcb_send_event(conn.get(), 0, win, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&notify));
    xcb_flush(conn.get());
}

void WmKiosk::unmapNotify(uint32_t win, uint32_t eventWindow) {
    Syslog::info("%s: window: %08x, frame: %08x", "unmapNotify", win, eventWindow);
    const std::lock_guard<std::mutex> guard(lock);
    // Only the unmap of a framed client, as its frame reports it, counts.
    const auto found = std::find_if(windows.begin(), windows.end(), [&](const WmWindow& window) {
        return window.frame != 0 && window.win == win && window.frame == eventWindow;
    });
    if (found != windows.end()) {
        releaseFrame(*found, getWindowGeometry(found->frame, false));
        windows.erase(found);
    }
    if (!windows.empty()) {
        focusWindow(windows.front().win, "unmapNotify");
    }
}

// Gives the client back to the root where it showed inside the frame and
// drops the frame.  Sent unchecked and in order from the event thread, so
// they reach the server before the connection can close.
void WmKiosk::releaseFrame(const WmWindow& window, const Xcb::Rect& frameGeometry) const {
    const auto x = static_cast<int16_t>(frameGeometry.x + window.borderWidth);
    const auto y = static_cast<int16_t>(frameGeometry.y + window.titleHeight);
    xcb_reparent_window(conn.get(), window.win, screen->root, x, y);
    xcb_change_save_set(conn.get(), XCB_SET_MODE_DELETE, window.win);
    xcb_unmap_window(conn.get(), window.frame);
    xcb_destroy_window(conn.get(), window.frame);
    xcb_flush(conn.get());
}

void WmKiosk::randrNotifyCrtcChanged(uint16_t width, uint16_t height) {
    Syslog::info("%s: randr notify change: [%u, %u]", "randrNotifyCrtcChanged", width, height);
    const std::lock_guard<std::mutex> guard(lock);
    for (const auto& window : windows) {
        relayout(window, width, height);
    }
}

void WmKiosk::relayout(const WmWindow& window, uint16_t width, uint16_t height) const {
    Xcb::Rect target{0, 0, width, height};
    if (!window.setFullscreen) {
        target = getWindowGeometry(window.frame != 0 ? window.frame : window.win, false);
        fitAxis(target.x, target.width, width);
        fitAxis(target.y, target.height, height);
    }
    if (window.frame == 0) {
        setWindowGeometry(window.win, target.x, target.y, target.width, target.height);
        return;
    }
    setWindowGeometry(window.frame, target.x, target.y, target.width, target.height);
    setWindowGeometry(window.win, window.borderWidth, window.titleHeight,
                      static_cast<uint16_t>(target.width - 2 * window.borderWidth),
                      static_cast<uint16_t>(target.height - window.titleHeight));
}

}  // namespace Velk
