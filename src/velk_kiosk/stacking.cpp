// The managed windows' stacking on the server; see stacking.h.
#include "velk_kiosk/stacking.h"

#include <optional>
#include <utility>

#include "logger.h"

namespace Velk {

Stacking::Stacking(const Xcb::Connector& xConnector, const WindowList& records, uint32_t resourceMask,
                   uint32_t ownBase)
    : connector(xConnector), windows(records), mask(resourceMask), own(ownBase) {
    findOverrideRedirects();
}

// The children's attributes are asked for together: one round trip more.
void Stacking::findOverrideRedirects() {
    const auto [tree, error] =
        connector.pending(xcb_query_tree(connector.connection(), connector.windowRoot()))
            .reply(xcb_query_tree_reply);
    if (!tree) {
        connector.toSyslogError(error, "Stacking", "xcb_query_tree");
        return;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    std::vector<std::pair<xcb_window_t, Xcb::PendingAttributes>> reads;
    for (int at = 0; at < xcb_query_tree_children_length(tree.get()); ++at) {
        if (!isOwn(children[at])) {
            reads.emplace_back(children[at], connector.pending(xcb_get_window_attributes(
                                                 connector.connection(), children[at])));
        }
    }
    for (auto& [win, read] : reads) {
        const auto [attributes, readError] = read.reply(xcb_get_window_attributes_reply);
        if (attributes && attributes->override_redirect) {
            overrideRedirects.insert(win);
        }
    }
}

void Stacking::onCreateNotify(const xcb_create_notify_event_t* event) {
    if (event->parent == connector.windowRoot() && event->override_redirect && !isOwn(event->window)) {
        overrideRedirects.insert(event->window);
    }
}

void Stacking::onReparentNotify(const xcb_reparent_notify_event_t* event) {
    if (event->parent == connector.windowRoot() && event->override_redirect && !isOwn(event->window)) {
        overrideRedirects.insert(event->window);
    } else {
        overrideRedirects.erase(event->window);
    }
}

void Stacking::onDestroyNotify(xcb_window_t win) {
    overrideRedirects.erase(win);
}

// Its own type and states give the layer; a WM_TRANSIENT_FOR of the root
// (or none) leaves a dialog to its group.
StackFacts Stacking::factsOf(const WmWindow& window) const {
    StackFacts facts;
    if (window.hints.type == WindowType::Dock) {
        facts.layer = Layer::Dock;
    } else if (window.states.above) {
        facts.layer = Layer::Above;
    } else if (window.states.below) {
        facts.layer = Layer::Below;
    }
    const xcb_window_t parent = window.hints.transientFor;
    const bool ownParent = parent != 0 && parent != connector.windowRoot() && parent != window.win;
    facts.transientFor = ownParent ? parent : 0;
    facts.group = window.hints.group;
    facts.groupDialog = !ownParent && facts.group != 0 && window.hints.type == WindowType::Dialog;
    return facts;
}

void Stacking::admit(const WmWindow& window, bool newFrame) {
    apply(stacking.add(window.win, factsOf(window)), newFrame ? window.win : 0);
}

void Stacking::withdraw(xcb_window_t win) {
    stacking.remove(win);
}

bool Stacking::raise(xcb_window_t win) {
    const std::vector<Restack> restacks = stacking.raise(win);
    apply(restacks, 0);
    return !restacks.empty();
}

bool Stacking::restack(xcb_window_t win, xcb_window_t sibling, uint8_t stackMode) {
    if (stackMode != XCB_STACK_MODE_ABOVE && stackMode != XCB_STACK_MODE_BELOW) {
        Syslog::debug("%s: window: %08x, stack mode: %u, not followed", "restack", win, stackMode);
        return false;
    }
    const bool above = stackMode == XCB_STACK_MODE_ABOVE;
    // A sibling may be named by its client or by its frame.
    const WmWindow* next = windows.findByFrame(sibling);
    const xcb_window_t nextClient = next ? next->win : sibling;
    std::vector<Restack> restacks;
    if (nextClient != 0 && stacking.contains(nextClient)) {
        restacks = stacking.restackBy(win, nextClient, above);
    } else {
        restacks = above ? stacking.raise(win) : stacking.lower(win);
    }
    apply(restacks, 0);
    return !restacks.empty();
}

void Stacking::refresh(const WmWindow& window) {
    apply(stacking.update(window.win, factsOf(window)), 0);
}

// A new frame is made on top of the root's children: where it belongs on
// top of the managed windows and nothing of a client's stands above them,
// it is there already.
void Stacking::apply(const std::vector<Restack>& restacks, xcb_window_t fresh) {
    for (const Restack& restack : restacks) {
        const bool onTop = restack.above || restack.sibling == 0;
        if (restack.win == fresh && onTop && stacking.order().back() == fresh && overrideRedirects.empty()) {
            continue;
        }
        const xcb_window_t target = outerOf(restack.win);
        const xcb_window_t sibling = restack.sibling != 0 ? outerOf(restack.sibling) : 0;
        const uint32_t mode = restack.above ? XCB_STACK_MODE_ABOVE : XCB_STACK_MODE_BELOW;
        const uint32_t values[] = {sibling, mode};
        if (sibling != 0) {
            xcb_configure_window(connector.connection(), target,
                                 XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values);
        } else {
            xcb_configure_window(connector.connection(), target, XCB_CONFIG_WINDOW_STACK_MODE, values + 1);
        }
    }
}

xcb_window_t Stacking::outerOf(xcb_window_t win) const {
    const WmWindow* window = windows.findByClient(win);
    return window && window->frame != 0 ? window->frame : win;
}

}  // namespace Velk
