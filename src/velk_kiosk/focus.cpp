// The focus of the managed windows; see focus.h.
#include "velk_kiosk/focus.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

#include "logger.h"

namespace Velk {

namespace {

// WM_HINTS flags bit: the input field is set.
constexpr uint32_t inputHint = 1;
// The buttons that focus a window; the wheel does not.
constexpr uint8_t lastFocusButton = XCB_BUTTON_INDEX_3;

const char* trueOrFalse(bool value) {
    return value ? "true" : "false";
}

// How many windows' reads go out together when the focus looks for a new
// home: enough that one round trip finds it almost always, few enough that a
// long list of windows does not cost a read of each.
constexpr size_t candidatesAskedTogether = 4;

}  // namespace

Focus::Focus(const Xcb::Connector& xConnector, const WindowList& records, const Ewmh& rootState,
             const ClientProtocols& clientProtocols)
    : connector(xConnector), windows(records), ewmh(rootState), protocols(clientProtocols) {}

// Every button in any modifier state (one grab: the wheel's presses are let
// go at once); the pointer freezes at a press until onButtonPress lets the
// press go on to the client.
Focus::Pending Focus::admit(xcb_window_t win) const {
    Pending pending{win,
                    XCB_CURRENT_TIME,
                    connector.pending(xcb_grab_button_checked(
                        connector.connection(), 0, win, XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_SYNC,
                        XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_BUTTON_INDEX_ANY, XCB_MOD_MASK_ANY)),
                    std::nullopt,
                    connector.requestProperty(win, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS),
                    protocols.requestProtocols(win)};
    return pending;
}

Focus::Pending Focus::request(xcb_window_t win, xcb_timestamp_t time) const {
    return {win,
            time,
            std::nullopt,
            connector.pending(xcb_get_window_attributes(connector.connection(), win)),
            connector.requestProperty(win, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS),
            protocols.requestProtocols(win)};
}

void Focus::give(Pending pending, std::string_view caller) {
    if (pending.grab) {
        connector.confirm(std::move(*pending.grab), caller, "xcb_grab_button");
    }
    const bool viewable = !pending.attributes || isViewable(std::move(*pending.attributes));
    const bool input = takesInput(std::move(pending.hints), caller);
    const bool takeFocus = protocols.takesFocus(std::move(pending.protocols), caller);
    if (!viewable) {
        Syslog::debug("%s: window: %08x, not viewable", "give", pending.win);
        return;
    }
    Syslog::debug("%s: window: %08x, input: `%s', take focus: `%s'", "give", pending.win, trueOrFalse(input),
                  trueOrFalse(takeFocus));
    if (!input && !takeFocus) {
        // The ICCCM's "no input" model: the window never gets the keyboard.
        return;
    }
    std::optional<Xcb::PendingCheck> set;
    if (input) {
        set.emplace(connector.pending(xcb_set_input_focus_checked(
            connector.connection(), XCB_INPUT_FOCUS_POINTER_ROOT, pending.win, pending.time)));
    }
    if (takeFocus) {
        protocols.offerFocus(pending.win, pending.time);
    }
    if (set && !connector.confirm(std::move(*set), caller, "xcb_set_input_focus")) {
        return;
    }
    focused = pending.win;
}

bool Focus::isViewable(Xcb::PendingAttributes read) {
    const auto [attributes, error] = read.reply(xcb_get_window_attributes_reply);
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

// A window without WM_HINTS, or whose hints leave the input field unset, takes input.
bool Focus::takesInput(Xcb::PendingProperty hints, std::string_view caller) const {
    const std::string bytes = connector.collectProperty(std::move(hints), caller);
    uint32_t words[2] = {0, 0};
    if (bytes.size() < sizeof(words)) {
        return true;
    }
    std::memcpy(words, bytes.data(), sizeof(words));
    return (words[0] & inputHint) == 0 || words[1] != 0;
}

bool Focus::onButtonPress(const xcb_button_press_event_t* event) {
    const WmWindow* window = windows.findByFrame(event->event);
    if (!window) {
        // Through the grab on a client: the frozen pointer is let go and the
        // press replayed, so that the client gets it as if there were no grab.
        xcb_allow_events(connector.connection(), XCB_ALLOW_REPLAY_POINTER, event->time);
        xcb_flush(connector.connection());
        window = windows.findByClient(event->event);
    }
    if (!window || event->detail > lastFocusButton) {
        return false;
    }
    const std::vector<xcb_window_t>& order = ewmh.stacking();
    if (window->win == focused && !order.empty() && order.back() == focused) {
        return false;
    }
    Syslog::debug("%s: window: %08x, button: %u", "onButtonPress", window->win, event->detail);
    raiseAndFocus(*window, event->time, "onButtonPress");
    return true;
}

// The requesting program's timestamp is not used: a kiosk has no focus
// stealing to prevent, and a stale one would make the server ignore the focus.
void Focus::activate(xcb_window_t win) {
    const WmWindow* window = windows.findByClient(win);
    Syslog::info("%s: window: %08x, managed: `%s'", "activate", win, trueOrFalse(window != nullptr));
    if (window) {
        raiseAndFocus(*window, XCB_CURRENT_TIME, "activate");
    }
}

void Focus::followRaise(xcb_window_t win) {
    if (win != focused && windows.findByClient(win)) {
        give(request(win, XCB_CURRENT_TIME), "onConfigureRequest");
    }
}

void Focus::raiseAndFocus(const WmWindow& window, xcb_timestamp_t time, std::string_view caller) {
    const uint32_t above = XCB_STACK_MODE_ABOVE;
    Xcb::PendingCheck raise = connector.pending(
        xcb_configure_window_checked(connector.connection(), window.frame != 0 ? window.frame : window.win,
                                     XCB_CONFIG_WINDOW_STACK_MODE, &above));
    Pending pending = request(window.win, time);
    connector.confirm(std::move(raise), caller, "xcb_configure_window");
    give(std::move(pending), caller);
}

void Focus::afterWithdrawal(xcb_window_t win, std::string_view caller) {
    const WmWindow* window = windows.findByClient(win);
    if (win != focused || (window && window->frame != 0)) {
        // A framed client that is still recorded was only re-parented into
        // its frame, which unmaps it for a moment.
        return;
    }
    // Until another window takes it, the server holds the focus on the
    // pointer's root (the focus reverts there when its window goes).
    focused = 0;
    // The reads of a few candidates go out together; those not used are dropped.
    const std::vector<xcb_window_t> candidates = successors(win);
    for (size_t first = 0; first < candidates.size(); first += candidatesAskedTogether) {
        std::vector<Pending> asked;
        for (size_t at = first; at < std::min(candidates.size(), first + candidatesAskedTogether); ++at) {
            asked.push_back(request(candidates[at], XCB_CURRENT_TIME));
        }
        for (Pending& pending : asked) {
            const xcb_window_t candidate = pending.win;
            give(std::move(pending), caller);
            if (focused == candidate) {
                return;
            }
        }
    }
}

// The managed windows below `win` in the stacking order, nearest first, then
// those above it from the top down.
std::vector<xcb_window_t> Focus::successors(xcb_window_t win) const {
    const std::vector<xcb_window_t>& order = ewmh.stacking();
    const auto at = std::find(order.begin(), order.end(), win);
    std::vector<xcb_window_t> candidates(std::make_reverse_iterator(at), order.rend());
    const auto aboveEnd = at == order.end() ? order.rbegin() : std::make_reverse_iterator(std::next(at));
    candidates.insert(candidates.end(), order.rbegin(), aboveEnd);
    candidates.erase(
        std::remove_if(candidates.begin(), candidates.end(),
                       [this](xcb_window_t candidate) { return !windows.findByClient(candidate); }),
        candidates.end());
    return candidates;
}

}  // namespace Velk
