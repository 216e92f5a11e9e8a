// The placement handlers; see placement.h.
#include "velk_kiosk/placement.h"

#include <utility>

#include "logger.h"

namespace Velk {

namespace {

constexpr uint16_t positionMask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
constexpr uint16_t wholeGeometry = positionMask | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;

const char* trueOrFalse(bool value) {
    return value ? "true" : "false";
}

}  // namespace

Placement::Placement(const Xcb::Connector& xConnector, const Parts& parts)
    : connector(xConnector),
      atoms(parts.atoms),
      windows(parts.windows),
      rules(parts.rules),
      framer(parts.framer),
      focus(parts.focus),
      stacking(parts.stacking),
      clientEwmh(parts.clientEwmh),
      rootSize(parts.rootSize),
      monitors(parts.monitors) {}

void Placement::onMapRequest(const xcb_map_request_event_t* event) {
    const xcb_window_t win = event->window;
    Syslog::info("%s: window: %08x, parent: %08x", "onMapRequest", win, event->parent);
    // Every read the decisions, the place and a new frame need goes out
    // together; unused answers are dropped.  The window is mapped only once
    // it is framed at its final place.
    watchClient(win);
    RuleLookup::PendingFacts facts = rules.requestFacts(win, true);
    Xcb::PendingProperty wmName = connector.requestProperty(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
    Xcb::PendingAttributes frameRead = framer.requestFrameReads(win);
    PendingWishes wishes = requestWishes(win);
    // The types serve the rule and the placement; one rule both decisions.
    const std::list<uint32_t> types = rules.windowTypes(facts);
    const Decision decision = decide(win, rules.findJsonWindow(win, std::move(facts)), std::move(wmName));
    const Xcb::Rect root = rootSize.rect();
    showAdmitted(
        admitWindow(win, decision, collectWishes(std::move(wishes), types), std::move(frameRead), root));
}

Placement::Decision Placement::decide(uint32_t win, const JsonWindow* rule,
                                      Xcb::PendingProperty wmName) const {
    Decision decision{isFullscreenRule(rule), wantsBorder(rule, win, std::move(wmName)),
                      !rule || rule->titlebar, rule ? rule->monitor : std::string()};
    Syslog::debug("%s: window: %08x, set fullscreen: `%s', set border: `%s'", "decide", win,
                  trueOrFalse(decision.fullscreen), trueOrFalse(decision.border));
    return decision;
}

bool Placement::isFullscreenRule(const JsonWindow* rule) const {
    if (!rule || !rule->fullscreen) {
        return false;
    }
    Syslog::debug("%s: `%s'", "isFullscreenWindow", "true");
    return true;
}

// A window without a name gets no border whatever its rule says.  The name
// is WM_NAME, or _NET_WM_NAME when WM_NAME is empty; WM_NAME was asked for
// with the map, _NET_WM_NAME is asked for only when needed.
bool Placement::wantsBorder(const JsonWindow* rule, uint32_t win, Xcb::PendingProperty wmName) const {
    if (rule && !rule->border) {
        return false;
    }
    if (connector.collectProperty(std::move(wmName), "wantsBorder").empty() &&
        connector
            .collectProperty(connector.requestProperty(win, atoms.netWmName, atoms.utf8String), "wantsBorder")
            .empty()) {
        return false;
    }
    Syslog::debug("%s: `%s'", "wantsBorder", "true");
    return true;
}

// The record of the window: the one already kept (unchanged), or a new one at
// the front of the list with its frame made at its final place.
Placement::Admission Placement::admitWindow(uint32_t win, const Decision& decision, const MapWishes& wishes,
                                            Xcb::PendingAttributes frameRead, const Xcb::Rect& root) {
    if (WmWindow* known = windows.findByClient(win)) {
        return {*known, {}, std::nullopt, false};
    }
    WmWindow& window = windows.admit(win);
    window.clientBorderWidth = wishes.borderWidth;
    window.gravity = wishes.gravity;
    window.ruleTitlebar = decision.titlebar;
    window.ruleBorder = decision.border;
    window.ruleMonitor = decision.monitor;
    window.hints = wishes.hints;
    // A dock places itself, never framed nor held at full screen.
    const bool dock = window.hints.type == WindowType::Dock;
    window.setFullscreen = decision.fullscreen && !dock;
    clientEwmh.adoptStates(window, wishes.states);
    // Urgency is what a pager sees as a window that demands attention.
    window.states.demandsAttention = window.states.demandsAttention || window.hints.urgent;
    window.monitor = chooseMonitor(window, wishes.geometry);
    decorate(window);
    const FramePlacement place = placeNew(window, wishes, {root.width, root.height});
    if (dock) {
        readStrut(window);
        return {window, place, std::nullopt, true};
    }
    return {window, place, framer.createFrame(window, std::move(frameRead), place).unconfirmed, true};
}

// The frame's requests, the client's map, the frame's map and the focus are
// answered in one round trip; the client is shown once, at its final place.
void Placement::showAdmitted(Admission admitted) {
    WmWindow& window = admitted.window;
    PendingConfigures fit;
    const std::optional<FramePlacement> held = heldPlace(window);
    if (held && !admitted.frame) {
        // A window without a new frame takes its held place itself, or its frame does.
        requestLayout(window, held->frame, clientInside(held->client, window.metrics()), fit);
    }
    if (admitted.fresh) {
        stacking.admit(window, admitted.frame.has_value());
    }
    clientEwmh.publish(window);
    Xcb::PendingCheck map = connector.pending(xcb_map_window_checked(connector.connection(), window.win));
    if (admitted.frame) {
        framer.showFrame(window);
    }
    Focus::Pending focusing = focus.admit(window.win);
    if (admitted.frame) {
        framer.confirmFrame(window, std::move(*admitted.frame));
    }
    for (auto& change : fit) {
        connector.confirmConfigure(std::move(change), "onMapRequest");
    }
    if (!connector.confirm(std::move(map), "onMapRequest", "xcb_map_window")) {
        // A window that is not shown takes no focus; its reads are dropped with `focusing`.
        dropWithdrawnClient(window, admitted.place.frame);
        return;
    }
    focus.give(std::move(focusing), "onMapRequest");
}

// The client's window went while it was being framed: the frame goes, as
// it would have gone on the unmap.
void Placement::dropWithdrawnClient(const WmWindow& window, const Xcb::Rect& frameGeometry) {
    Syslog::info("%s: window: %08x, frame: %08x, withdrawn while framed", "onMapRequest", window.win,
                 window.frame);
    const uint32_t win = window.win;
    const bool reserved = window.strut.has_value();
    if (window.frame != 0) {
        framer.releaseFrame(window, frameGeometry);
    }
    releasePlace(window);
    stacking.withdraw(win);
    windows.remove(window);
    if (reserved) {
        reserveStruts();
    }
    focus.afterWithdrawal(win, "onMapRequest");
}

void Placement::requestLayout(const WmWindow& window, const Xcb::Rect& target, const Xcb::Rect& inside,
                              PendingConfigures& changes) const {
    const uint32_t outer = window.frame != 0 ? window.frame : window.win;
    changes.push_back(
        connector.requestConfigure(outer, wholeGeometry, target.x, target.y, target.width, target.height));
    if (window.frame != 0) {
        changes.push_back(connector.requestConfigure(window.win, wholeGeometry, inside.x, inside.y,
                                                     inside.width, inside.height));
    }
}

// The root's size and the rule's facts are read in one round trip, the
// changes and the geometry for the client's answer in another.
void Placement::onConfigureRequest(const xcb_configure_request_event_t* event) {
    Syslog::info(
        "%s: window: %08x, parent: %08x, stack mode: %02x, sibling: %08x, x: %d, y: %d, w: %u, h: %u, border "
        "width: %u, value mask: %04x",
        "onConfigureRequest", event->window, event->parent, event->stack_mode, event->sibling, event->x,
        event->y, event->width, event->height, event->border_width, event->value_mask);
    RuleLookup::PendingFacts facts = rules.requestFacts(event->window);
    const Xcb::Size root = rootSize.size();
    const WmWindow* managed = windows.findByClient(event->window);
    const bool ruleFullscreen = isFullscreenRule(rules.findJsonWindow(event->window, std::move(facts)));
    const std::optional<Xcb::Rect> held = heldFrame(managed, ruleFullscreen);
    ConfigureValues values = fromRequest(*event);
    if (managed) {
        // The kiosk keeps the stacking of what it manages (Stacking); a
        // managed client has no X border: it would shift and cut the client.
        values.mask &= static_cast<uint16_t>(
            ~(XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE | XCB_CONFIG_WINDOW_BORDER_WIDTH));
    }
    // A framed client's frame takes the held place, the client its inside.
    if (held && holdAt(values, *held)) {
        Syslog::debug("%s: set fullscreen, window: %08x, size: %u, %u", "onConfigureRequest", event->window,
                      held->width, held->height);
    } else if (!held && !(managed && managed->hints.fixedSize)) {
        clampToRoot(values, root);
    }
    applyConfigure(event->window, values, held, root);
}

// A window held at full screen takes its monitor, or, when it cannot be
// resized, stays centred on it at its own size.  Unmanaged windows are held
// by their rule alone, on the primary monitor.
std::optional<Xcb::Rect> Placement::heldFrame(const WmWindow* managed, bool ruleFullscreen) const {
    if (managed) {
        const std::optional<FramePlacement> held = heldPlace(*managed);
        return held ? std::optional<Xcb::Rect>(held->frame) : std::nullopt;
    }
    return ruleFullscreen ? std::optional<Xcb::Rect>(monitors.workArea(monitors.primary())) : std::nullopt;
}

void Placement::applyConfigure(uint32_t win, ConfigureValues values, const std::optional<Xcb::Rect>& held,
                               const Xcb::Size& root) {
    const WmWindow* window = windows.findByClient(win);
    const WmWindow* framed = window && window->frame != 0 ? window : nullptr;
    std::optional<Xcb::PendingCheck> frameChange;
    std::optional<Xcb::PendingGeometry> frameRead;
    if (framed) {
        ConfigureValues asked = values;
        asked.place = withGravity(values.place, framed->gravity, framed->metrics());
        const FramedConfigure split =
            splitForFrame(asked, framed->metrics(), root, held, framed->hints.fixedSize.has_value());
        frameChange.emplace(requestConfigureValues(framed->frame, split.frame));
        values = split.client;
        frameRead.emplace(connector.requestGeometry(framed->frame));
    }
    Xcb::PendingCheck clientChange = requestConfigureValues(win, values);
    Xcb::Rect place = Xcb::Connector::collectGeometry(connector.requestGeometry(win));
    if (frameChange) {
        connector.confirm(std::move(*frameChange), "onConfigureRequest", "xcb_configure_window");
    }
    connector.confirm(std::move(clientChange), "onConfigureRequest", "xcb_configure_window");
    if (framed) {
        // The client's place in root coordinates, inside its frame.
        const Xcb::Rect outer = Xcb::Connector::collectGeometry(std::move(*frameRead));
        place.x = static_cast<int16_t>(outer.x + framed->frameBorderWidth + framed->borderWidth);
        place.y = static_cast<int16_t>(outer.y + framed->frameBorderWidth + framed->titleHeight);
    }
    notifyClientGeometry(win, place);
}

Xcb::PendingCheck Placement::requestConfigureValues(uint32_t target, const ConfigureValues& values) const {
    const std::vector<uint32_t> packed = packValues(values);
    return connector.pending(
        xcb_configure_window_checked(connector.connection(), target, values.mask, packed.data()));
}

// ICCCM: every handled request is answered with a synthetic ConfigureNotify
// in root coordinates, also when the window did not move or change size;
// toolkits wait for it (up to their time-out) before they go on.
void Placement::notifyClientGeometry(uint32_t win, const Xcb::Rect& place) const {
    xcb_configure_notify_event_t notify{};
    notify.response_type = XCB_CONFIGURE_NOTIFY;
    notify.event = win;
    notify.window = win;
    notify.above_sibling = XCB_NONE;
    notify.x = place.x;
    notify.y = place.y;
    notify.width = place.width;
    notify.height = place.height;
    xcb_send_event(connector.connection(), 0, win, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&notify));
    xcb_flush(connector.connection());
}

void Placement::unmapNotify(uint32_t win, uint32_t eventWindow) {
    Syslog::info("%s: window: %08x, frame: %08x", "unmapNotify", win, eventWindow);
    // A framed client's unmap counts as its frame reports it. On the root
    // come an unframed client's own unmap and the withdrawal a client
    // announces (ICCCM), which also covers a framed window the kiosk had not
    // shown yet when the client withdrew it. A withdrawn client is no longer
    // managed: its record goes, framed or not.
    const bool onRoot = eventWindow == connector.windowRoot();
    const WmWindow* found = onRoot ? windows.findByClient(win) : windows.findFramed(win, eventWindow);
    if (found && found->frame != 0) {
        if (onRoot) {
            xcb_unmap_window(connector.connection(), win);
        }
        framer.releaseFrame(*found, Xcb::Connector::collectGeometry(connector.requestGeometry(found->frame)));
    }
    if (found) {
        const bool reserved = found->strut.has_value();
        releasePlace(*found);
        clientEwmh.withdraw(*found);
        stacking.withdraw(win);
        windows.remove(*found);
        if (reserved) {
            reserveStruts();
        }
    }
    focus.afterWithdrawal(win, "unmapNotify");
}

// The CRTC's size is its own: the monitors say what changed.
void Placement::randrNotifyCrtcChanged(uint16_t width, uint16_t height) {
    Syslog::info("%s: randr notify change: [%u, %u]", "randrNotifyCrtcChanged", width, height);
    refreshMonitors();
}

}  // namespace Velk
