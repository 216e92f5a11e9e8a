// What pagers, tools and toolkits read off the root about the kiosk (EWMH):
// the supporting-WM-check window with the kiosk's name, the hints it
// supports, the client lists in mapping and in stacking order and the active
// window; and the ICCCM WM_STATE of every client it manages.
#pragma once

#include <cstddef>
#include <cstdint>
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

    // Brings the root's lists, the active window and the clients' WM_STATE up
    // to the records.  The stacking order is read off the server when the
    // windows may have been restacked; otherwise the last one is kept, with
    // the clients that left taken out and new ones on top.  Only what
    // changed is written.
    void publish(const WindowList& windows, xcb_window_t active, bool restacked);
    // The managed clients bottom to top, as last published.
    const std::vector<xcb_window_t>& stacking() const { return stacked; }

private:
    void makeCheckWindow();
    std::vector<xcb_window_t> readStacking(const WindowList& windows) const;
    std::vector<xcb_window_t> keepStacking(const WindowList& windows) const;
    std::vector<xcb_window_t> mappingOrder(const WindowList& windows,
                                           const std::vector<xcb_window_t>& present) const;
    void updateWmState(const std::vector<xcb_window_t>& present) const;
    void setWmState(xcb_window_t win, uint32_t state) const;
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
    // The records as last published: their number and the newest client.
    struct RecordsSeen {
        size_t count = 0;
        xcb_window_t newest = XCB_NONE;
        bool operator==(const RecordsSeen& other) const {
            return count == other.count && newest == other.newest;
        }
    };
    RecordsSeen recordsSeen;
    // What the root shows now.
    std::vector<xcb_window_t> mapped;
    std::vector<xcb_window_t> stacked;
    xcb_window_t shownActive = 0;
};

}  // namespace Velk
