// What pagers, tools and toolkits read off the root about the kiosk (EWMH):
// the supporting-WM-check window with the kiosk's name, the hints it
// supports, the one desktop (its number, geometry, viewport and work area),
// the client lists in mapping and in stacking order and the active window;
// and the ICCCM WM_STATE of every client it manages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "velk_kiosk/kiosk_atoms.h"
#include "velk_kiosk/stacking.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

class Ewmh {
public:
    // The EWMH requests clients send to the root, by their message type.
    enum class Message {
        Other,
        ActiveWindow,
        CloseWindow,
        WmState,
        RestackWindow,
        RequestFrameExtents,
        FullscreenMonitors
    };

    // Makes the check window and writes the root's properties: the kiosk's
    // hints, the desktop on a root of that size, empty lists and no active
    // window.
    Ewmh(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms, const Xcb::Size& rootSize);
    // Takes the check window and the root's properties away again.
    ~Ewmh();
    Ewmh(const Ewmh&) = delete;
    Ewmh& operator=(const Ewmh&) = delete;

    // The unmapped window that names the kiosk; 0 when it could not be made.
    xcb_window_t supportingWindow() const { return checkWindow; }
    // The desktop is the whole root: its geometry follows it.
    void onRootResized(const Xcb::Size& rootSize) const;
    // _NET_WORKAREA: the root less what docks reserve; written when it
    // differs from what the root shows.
    void showWorkarea(const Xcb::Rect& area);
    Message messageKind(xcb_atom_t type) const;

    // Brings the mapping-order list and the clients' WM_STATE up to the
    // records: the clients admitted and removed since the last call are
    // added and taken out, each in constant time.  The lists and the active
    // window reach the root with writeRootLists.
    void publish(WindowList& windows, xcb_window_t focused);
    // Writes the root's client lists where they changed (the new clients
    // appended when nothing else changed, else the whole list) and the
    // active window; says whether it wrote anything.  Called once the events
    // that came together are handled, so that a burst of new windows writes
    // each list once, and a focus that passes from one window to another
    // writes only where it arrived.  The active window goes last: a reader
    // that sees it sees the lists of the same moment.
    bool writeRootLists(Stacking& stacking);

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
    };

    void makeCheckWindow();
    void writeDesktop(const Xcb::Size& rootSize) const;
    void applyChanges(const std::vector<WindowList::Change>& changes);
    void setWmState(xcb_window_t win, uint32_t state) const;
    bool writeList(xcb_atom_t property, RootList& list) const;
    bool writeStacking(Stacking& stacking);
    void writeWindows(xcb_atom_t property, const std::vector<xcb_window_t>& list) const;
    void writeCardinals(xcb_atom_t property, const std::vector<uint32_t>& values) const;

    const Xcb::Connector& connector;
    const KioskAtoms& atoms;
    xcb_window_t checkWindow = 0;
    // The clients in the lists.
    std::unordered_set<xcb_window_t> listed;
    RootList mapped;
    // How much of the stacking order the root shows.
    size_t stackedWritten = 0;
    xcb_window_t active = 0;
    xcb_window_t shownActive = 0;
    std::vector<uint32_t> shownWorkarea;
};

}  // namespace Velk
