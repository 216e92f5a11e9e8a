// The focus of the managed windows; see focus.h.
#include "velk_kiosk/focus.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <unordered_set>
#include <utility>

#include "logger.h"

namespace Velk {

namespace {

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

Focus::Focus(const Xcb::Connector& xConnector, const WindowList& records, Stacking& stackKeeper,
             const ClientProtocols& clientProtocols, ServerTime& serverClock)
    : connector(xConnector),
      windows(records),
      stacking(stackKeeper),
      protocols(clientProtocols),
      serverTime(serverClock) {}

// Every button in any modifier state (one grab: the wheel's presses are let
// go at once); the pointer freezes at a press until onButtonPress lets the
// press go on to the client.  The server's time comes with the changes of
// the window's properties that its admission made.
Focus::Pending Focus::admit(xcb_window_t win) const {
    Pending pending{win, XCB_CURRENT_TIME,
                    connector.pending(xcb_grab_button_checked(
                        connector.connection(), 0, win, XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_SYNC,
                        XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_BUTTON_INDEX_ANY, XCB_MOD_MASK_ANY)),
                    std::nullopt};
    return pending;
}

Focus::Pending Focus::request(xcb_window_t win, xcb_timestamp_t time) const {
    return {win, time, std::nullopt,
            connector.pending(xcb_get_window_attributes(connector.connection(), win))};
}

// The focus request goes unchecked: a window that went meanwhile only costs
// an error event, and who has the focus is what FocusIn then says.
void Focus::give(Pending pending, std::string_view caller) const {
    if (pending.grab) {
        connector.confirm(std::move(*pending.grab), caller, "xcb_grab_button");
    }
    const bool viewable = !pending.attributes || isViewable(std::move(*pending.attributes));
    const WmWindow* window = windows.findByClient(pending.win);
    if (!window || !viewable) {
        Syslog::debug("%s: window: %08x, not viewable", "give", pending.win);
        return;
    }
    Syslog::debug("%s: window: %08x, input: `%s', take focus: `%s', focusable: `%s'", "give", pending.win,
                  trueOrFalse(window->hints.input), trueOrFalse(window->hints.takeFocus),
                  trueOrFalse(window->focusable()));
    if (!window->focusable()) {
        return;
    }
    if (window->hints.input) {
        xcb_set_input_focus(connector.connection(), XCB_INPUT_FOCUS_POINTER_ROOT, pending.win, pending.time);
    }
    if (window->hints.takeFocus) {
        protocols.offerFocus(pending.win,
                             pending.time != XCB_CURRENT_TIME ? pending.time : serverTime.latest());
    }
}

bool Focus::isViewable(Xcb::PendingAttributes read) {
    const auto [attributes, error] = read.reply(xcb_get_window_attributes_reply);
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

void Focus::onButtonPress(const xcb_button_press_event_t* event) {
    const WmWindow* window = windows.findByFrame(event->event);
    if (!window) {
        // Through the grab on a client: the frozen pointer is let go and the
        // press replayed, so that the client gets it as if there were no grab.
        xcb_allow_events(connector.connection(), XCB_ALLOW_REPLAY_POINTER, event->time);
        xcb_flush(connector.connection());
        window = windows.findByClient(event->event);
    }
    if (!window || event->detail > lastFocusButton) {
        return;
    }
    Syslog::debug("%s: window: %08x, button: %u", "onButtonPress", window->win, event->detail);
    raiseAndFocus(*window, event->time, "onButtonPress");
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
    const WmWindow* window = windows.findByClient(win);
    if (window && modalTarget(*window).win != focused) {
        give(request(modalTarget(*window).win, XCB_CURRENT_TIME), "onConfigureRequest");
    }
}

// The window goes on top with what belongs to it, so a modal dialog stays
// above the window it blocks and takes the focus in its place.
void Focus::raiseAndFocus(const WmWindow& window, xcb_timestamp_t time, std::string_view caller) {
    const bool raised = stacking.raise(window.win);
    const WmWindow& target = modalTarget(window);
    if (!raised && target.win == focused) {
        return;
    }
    give(request(target.win, time), caller);
}

const WmWindow& Focus::modalTarget(const WmWindow& window) const {
    const WmWindow* target = &window;
    std::unordered_set<xcb_window_t> seen{window.win};
    for (;;) {
        const WmWindow* modal = nullptr;
        for (const xcb_window_t transient : stacking.order().transientsOf(target->win)) {
            const WmWindow* candidate = windows.findByClient(transient);
            if (candidate && candidate->states.modal && seen.count(transient) == 0) {
                modal = candidate;
            }
        }
        if (!modal) {
            return *target;
        }
        seen.insert(modal->win);
        target = modal;
    }
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
            if (isViewable(std::move(*pending.attributes))) {
                pending.attributes.reset();
                give(std::move(pending), caller);
                return;
            }
        }
    }
}

// The focusable managed windows below `win` in the stacking order, nearest
// first, then those above it from the top down.
std::vector<xcb_window_t> Focus::successors(xcb_window_t win) const {
    const std::vector<xcb_window_t>& order = stacking.order().order();
    const auto at = std::find(order.begin(), order.end(), win);
    std::vector<xcb_window_t> candidates(std::make_reverse_iterator(at), order.rend());
    const auto aboveEnd = at == order.end() ? order.rbegin() : std::make_reverse_iterator(std::next(at));
    candidates.insert(candidates.end(), order.rbegin(), aboveEnd);
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [this](xcb_window_t candidate) {
                                        const WmWindow* window = windows.findByClient(candidate);
                                        return !window || !window->focusable();
                                    }),
                     candidates.end());
    return candidates;
}

// Grabs move the focus only for their time; a focus that moves between a
// client and its own subwindows stays with the client.
const WmWindow* Focus::onFocusChange(const xcb_focus_in_event_t* event, bool in) {
    if (event->mode == XCB_NOTIFY_MODE_GRAB || event->mode == XCB_NOTIFY_MODE_UNGRAB ||
        event->detail > XCB_NOTIFY_DETAIL_NONLINEAR_VIRTUAL || event->detail == XCB_NOTIFY_DETAIL_POINTER) {
        return nullptr;
    }
    const WmWindow* window = windows.findByClient(event->event);
    if (!window) {
        return nullptr;
    }
    if (in) {
        focused = window->win;
        return window;
    }
    if (event->detail != XCB_NOTIFY_DETAIL_INFERIOR && focused == window->win) {
        focused = 0;
    }
    return nullptr;
}

}  // namespace Velk
