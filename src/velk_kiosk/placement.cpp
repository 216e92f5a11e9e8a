// The placement handlers; see placement.h.
#include "velk_kiosk/placement.h"

#include <utility>

#include "integrity/platform_integrity.h"
#include "logger.h"

namespace Velk {

namespace {

constexpr uint16_t positionMask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
constexpr uint16_t wholeGeometry = positionMask | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;

const char* trueOrFalse(bool value) {
    return value ? "true" : "false";
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

// Full-screen windows (no read) take the whole screen; the others are centred,
// or shrunk to the screen, from the geometry read.
Xcb::Rect relayoutTarget(std::optional<Xcb::PendingGeometry> read, uint16_t width, uint16_t height) {
    if (!read) {
        return {0, 0, width, height};
    }
    Xcb::Rect target = Xcb::Connector::collectGeometry(std::move(*read));
    fitAxis(target.x, target.width, width);
    fitAxis(target.y, target.height, height);
    return target;
}

// The client's place in a frame re-laid out: below the title bar, between
// the side borders, down to the frame's bottom edge.
Xcb::Rect relayoutInside(const WmWindow& window, const Xcb::Rect& target) {
    return {static_cast<int16_t>(window.borderWidth), static_cast<int16_t>(window.titleHeight),
            static_cast<uint16_t>(target.width - 2 * window.borderWidth),
            static_cast<uint16_t>(target.height - window.titleHeight)};
}

}  // namespace

Placement::Placement(const Xcb::Connector& xConnector, WindowList& records, const RuleLookup& ruleLookup,
                     Framer& frames, Focus& focusKeeper)
    : connector(xConnector), windows(records), rules(ruleLookup), framer(frames), focus(focusKeeper) {
    const std::vector<xcb_atom_t> atoms = connector.getAtoms({"_NET_WM_NAME", "UTF8_STRING"}, true);
    netWmName = atoms[0];
    utf8String = atoms[1];
}

void Placement::onMapRequest(const xcb_map_request_event_t* event) {
    const xcb_window_t win = event->window;
    Syslog::info("%s: window: %08x, parent: %08x", "onMapRequest", win, event->parent);
    // The map and every read the decisions and a new frame need go out
    // together; unused answers are dropped.
    Xcb::PendingCheck map = connector.pending(xcb_map_window_checked(connector.connection(), win));
    RuleLookup::PendingFacts facts = rules.requestFacts(win);
    Xcb::PendingProperty wmName = connector.requestProperty(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
    Xcb::PendingGeometry rootRead = connector.requestGeometry(connector.windowRoot());
    Framer::FrameReads frameReads = framer.requestFrameReads(win);
    connector.confirm(std::move(map), "onMapRequest", "xcb_map_window");
    // One rule serves both decisions.
    const Decision decision = decide(win, rules.findJsonWindow(win, std::move(facts)), std::move(wmName));
    const Xcb::Rect root = Xcb::Connector::collectGeometry(std::move(rootRead));
    showAdmitted(admitWindow(win, decision, std::move(frameReads), root), root);
}

Placement::Decision Placement::decide(uint32_t win, const JsonWindow* rule,
                                      Xcb::PendingProperty wmName) const {
    const Decision decision{isFullscreenRule(rule), isFrameWindow(rule, win, std::move(wmName))};
    Syslog::debug("%s: window: %08x, set fullscreen: `%s', set frame: `%s'", "onMapRequest", win,
                  trueOrFalse(decision.fullscreen), trueOrFalse(decision.frame));
    return decision;
}

bool Placement::isFullscreenRule(const JsonWindow* rule) const {
    if (!rule || !rule->fullscreen) {
        return false;
    }
    Syslog::debug("%s: `%s'", "isFullscreenWindow", "true");
    return true;
}

// The name is WM_NAME, or _NET_WM_NAME when WM_NAME is empty; WM_NAME was
// asked for with the map, _NET_WM_NAME is asked for only when needed.
bool Placement::isFrameWindow(const JsonWindow* rule, uint32_t win, Xcb::PendingProperty wmName) const {
    if (rule && !rule->frame) {
        return false;
    }
    if (connector.collectProperty(std::move(wmName), "isFrameWindow").empty() &&
        connector.collectProperty(connector.requestProperty(win, netWmName, utf8String), "isFrameWindow")
            .empty()) {
        return false;
    }
    Syslog::debug("%s: `%s'", "isFrameWindow", "true");
    return true;
}

// The record of the window: the one already kept (unchanged), or a new one at
// the front of the list with its frame.
Placement::Admission Placement::admitWindow(uint32_t win, const Decision& decision, Framer::FrameReads reads,
                                            const Xcb::Rect& root) {
    if (WmWindow* known = windows.findByClient(win)) {
        return {*known, std::nullopt};
    }
    WmWindow& window = windows.admit(win);
    if (kalder_enabled() > 0) {
        window.titleHeight = 0;
        window.borderWidth = 0;
    }
    window.setFullscreen = decision.fullscreen;
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
    return {window, framer.createFrame(window, decision.fullscreen, std::move(reads), root).unconfirmed};
}

// A new frame's last answers wait until the full-screen size and the focus
// are sent too: one round trip for all of them.
void Placement::showAdmitted(Admission admitted, const Xcb::Rect& root) {
    const WmWindow& window = admitted.window;
    PendingConfigures fit;
    if (window.setFullscreen) {
        // A framed client fills the frame's inside, below the title bar.
        requestLayout(window, {0, 0, root.width, root.height},
                      clientInside({root.width, root.height}, window.metrics()), fit);
    }
    Focus::Pending focusing = focus.admit(window.win);
    std::optional<Framer::ConfirmedFrame> confirmed;
    if (admitted.frame) {
        confirmed = framer.confirmFrame(window, std::move(*admitted.frame));
    }
    for (auto& change : fit) {
        connector.confirmConfigure(std::move(change), "onMapRequest");
    }
    if (confirmed && !confirmed->clientShown) {
        // A window that is not shown takes no focus; its reads are dropped with `focusing`.
        dropWithdrawnClient(window, confirmed->frame);
        return;
    }
    focus.give(std::move(focusing), "onMapRequest");
}

// The client withdrew its window while it was being framed: the frame goes,
// as it would have gone on the unmap.
void Placement::dropWithdrawnClient(const WmWindow& window, const Xcb::Rect& frameGeometry) {
    Syslog::info("%s: window: %08x, frame: %08x, withdrawn while framed", "onMapRequest", window.win,
                 window.frame);
    const uint32_t win = window.win;
    framer.releaseFrame(window, frameGeometry);
    windows.remove(window);
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
    Xcb::PendingGeometry rootRead = connector.requestGeometry(connector.windowRoot());
    RuleLookup::PendingFacts facts = rules.requestFacts(event->window);
    const Xcb::Rect rootGeometry = Xcb::Connector::collectGeometry(std::move(rootRead));
    const Xcb::Size root{rootGeometry.width, rootGeometry.height};
    const bool fullscreen = isFullscreenRule(rules.findJsonWindow(event->window, std::move(facts)));
    ConfigureValues values = fromRequest(*event);
    if (!fullscreen) {
        clampToRoot(values, root);
    } else if (holdFullscreen(values, root)) {
        Syslog::debug("%s: set fullscreen, window: %08x, size: %u, %u", "onConfigureRequest", event->window,
                      root.width, root.height);
    }
    applyConfigure(event->window, values, fullscreen, root);
}

void Placement::applyConfigure(uint32_t win, ConfigureValues values, bool fullscreen, const Xcb::Size& root) {
    const WmWindow* window = windows.findByClient(win);
    const WmWindow* framed = window && window->frame != 0 ? window : nullptr;
    std::optional<Xcb::PendingCheck> frameChange;
    std::optional<Xcb::PendingGeometry> frameRead;
    if (framed) {
        frameChange.emplace(requestConfigureValues(framed->frame, values));
        if (fullscreen) {
            // The frame now has the root's size: the client gets its inside.
            placeInside(values, clientInside(root, framed->metrics()));
        } else if (values.mask & positionMask) {
            keepInsideFrame(values, framed->frameBorderWidth);
        }
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
    // Only the unmap of a framed client, as its frame reports it, counts.
    if (const WmWindow* window = windows.findFramed(win, eventWindow)) {
        framer.releaseFrame(*window,
                            Xcb::Connector::collectGeometry(connector.requestGeometry(window->frame)));
        windows.remove(*window);
    }
    focus.afterWithdrawal(win, "unmapNotify");
}

// Every geometry is read in one round trip and every change confirmed in
// another, whatever the number of windows.
void Placement::randrNotifyCrtcChanged(uint16_t width, uint16_t height) {
    Syslog::info("%s: randr notify change: [%u, %u]", "randrNotifyCrtcChanged", width, height);
    std::vector<std::optional<Xcb::PendingGeometry>> reads;
    for (const WmWindow& window : windows.records()) {
        reads.emplace_back();
        if (!window.setFullscreen) {
            reads.back().emplace(connector.requestGeometry(window.frame != 0 ? window.frame : window.win));
        }
    }
    PendingConfigures changes;
    auto read = reads.begin();
    for (const WmWindow& window : windows.records()) {
        const Xcb::Rect target = relayoutTarget(std::move(*read++), width, height);
        requestLayout(window, target, relayoutInside(window, target), changes);
    }
    for (auto& change : changes) {
        connector.confirmConfigure(std::move(change), "randrNotifyCrtcChanged");
    }
}

}  // namespace Velk
