// The stacking of the managed windows on the server: the kiosk's order
// (stacking_order.h) made from each window's layer, the window it belongs to
// and its group, and carried out with ConfigureWindow requests that place a
// frame next to another managed one, so that the override-redirect windows
// of the clients (menus, notifications, tooltips) stay above the frames the
// kiosk raises.  It follows the root's children that are override-redirect
// to know when a new frame, made on top of everything, must step down.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "velk_kiosk/stacking_order.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

class Stacking {
public:
    // Finds the override-redirect windows already on the root; windows the
    // kiosk makes itself (their ids: ownBase outside resourceMask) are never
    // counted.
    Stacking(const Xcb::Connector& xConnector, const WindowList& records, uint32_t resourceMask,
             uint32_t ownBase);

    // A window just admitted, before it is shown: on top of its layer.
    // `newFrame`: its frame was just made, on top of the root's children.
    void admit(const WmWindow& window, bool newFrame);
    void withdraw(xcb_window_t win);
    // The window and what belongs to it on top of their layers; false when
    // they stood there already.
    bool raise(xcb_window_t win);
    // A client's own request, or a pager's _NET_RESTACK_WINDOW: Above or
    // Below, next to the sibling when it names a managed one; the other
    // stack modes are not followed.
    bool restack(xcb_window_t win, xcb_window_t sibling, uint8_t stackMode);
    // The window's layer, the window it belongs to or its group changed.
    void refresh(const WmWindow& window);

    const StackingOrder& order() const { return stacking; }
    // The managed windows bottom to top, and how many at the bottom are
    // where they were when last asked.
    size_t takeUnchangedPrefix() { return stacking.takeUnchangedPrefix(); }

    // The root's children as the server reports them.
    void onCreateNotify(const xcb_create_notify_event_t* event);
    void onReparentNotify(const xcb_reparent_notify_event_t* event);
    void onDestroyNotify(xcb_window_t win);

private:
    StackFacts factsOf(const WmWindow& window) const;
    void apply(const std::vector<Restack>& restacks, xcb_window_t fresh);
    xcb_window_t outerOf(xcb_window_t win) const;
    bool isOwn(xcb_window_t win) const { return (win & ~mask) == own; }
    void findOverrideRedirects();

    const Xcb::Connector& connector;
    const WindowList& windows;
    uint32_t mask;
    uint32_t own;
    StackingOrder stacking;
    // The clients' override-redirect windows on the root, mapped or not.
    std::unordered_set<xcb_window_t> overrideRedirects;
};

}  // namespace Velk
