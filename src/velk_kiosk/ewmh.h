// What pagers, tools and toolkits read off the root about the kiosk (EWMH):
// the supporting-WM-check window with the kiosk's name, the hints it
// supports, the client lists in mapping and in stacking order and the active
// window; and the ICCCM WM_STATE of every client it manages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

class Ewmh {
public:
    // The EWMH requests clients send to the root, by their message type.
    enum class Message { Other, ActiveWindow, CloseWindow, WmState };

    // Interns the atoms, makes the check window and writes the root's
    // properties: the kiosk's hints, empty lists and no active window.
    explicit Ewmh(const Xcb::Connector& xConnector);
    // Takes the check window and the root's properties away again.
    ~Ewmh();
    Ewmh(const Ewmh&) = delete;
    Ewmh& operator=(const Ewmh&) = delete;

    Message messageKind(xcb_atom_t type) const;
    bool isFullscreenState(xcb_atom_t state) const { return state != 0 && state == netWmStateFullscreen; }

    // Brings the kiosk's lists, the active window and the clients' WM_STATE
    // up to the records: the clients admitted and removed since the last
    // call are added and taken out, each in constant time; the stacking
    // order is read off the server when the windows may have been
    // restacked.  The lists reach the root with writeRootLists.
    void publish(WindowList& windows, xcb_window_t active, bool restacked);
    // Writes the root's client lists where they changed: the new clients
    // appended when nothing else changed, else the whole list.  Called once
    // the events that came together are handled, so that a burst of new
    // windows writes each list once, not once per window.
    void writeRootLists();
    // The managed clients bottom to top, as last published.
    const std::vector<xcb_window_t>& stacking() const { return stacked.order; }

private:
    // One of the root's client lists: its order, and how much of it the root
    // already shows.
    struct RootList {
        std::vector<xcb_window_t> order;
        // The root shows the first `written` entries, unless `rewrite`: then
        // the root's list is no longer a beginning of this one.
        size_t written = 0;
        bool rewrite = false;
        void append(xcb_window_t win) { order.push_back(win); }
        void erase(xcb_window_t win);
        void replace(std::vector<xcb_window_t> windows);
    };

    void makeCheckWindow();
    void applyChanges(const std::vector<WindowList::Change>& changes);
    std::vector<xcb_window_t> readStacking(const WindowList& windows) const;
    void setWmState(xcb_window_t win, uint32_t state) const;
    void writeList(xcb_atom_t property, RootList& list) const;
    void writeWindows(xcb_atom_t property, const std::vector<xcb_window_t>& list) const;

    const Xcb::Connector& connector;
    xcb_window_t checkWindow = 0;
    xcb_atom_t netSupported = 0;
    xcb_atom_t netSupportingWmCheck = 0;
    xcb_atom_t netWmName = 0;
    xcb_atom_t utf8String = 0;
    xcb_atom_t netClientList = 0;
    xcb_atom_t netClientListStacking = 0;
    xcb_atom_t netActiveWindow = 0;
    xcb_atom_t netCloseWindow = 0;
    xcb_atom_t netWmState = 0;
    xcb_atom_t netWmStateFullscreen = 0;
    xcb_atom_t netFrameExtents = 0;
    xcb_atom_t wmState = 0;
    // The clients in the lists.
    std::unordered_set<xcb_window_t> listed;
    RootList mapped;
    RootList stacked;
    xcb_window_t shownActive = 0;
};

}  // namespace Velk
