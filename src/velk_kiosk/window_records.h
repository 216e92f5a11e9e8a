// The records of the managed top-level windows: one per client the kiosk
// admitted, newest first, with the decoration its frame has.  Records and
// their look-ups only; what happens to the windows is placement's and the
// framer's.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "velk_kiosk/frame_geometry.h"
#include "velk_kiosk/gimp_image.h"
#include "velk_kiosk/monitors.h"

namespace Velk {

// What a window is, by its _NET_WM_WINDOW_TYPE (names and order in rule_keys.h).
enum class WindowType : uint8_t {
    None,
    Dialog,
    Utility,
    Splash,
    Menu,
    PopupMenu,
    Tooltip,
    Notification,
    Toolbar,
    Dock,
    Normal,
};

// What a client asks of the window manager through its own properties: read
// at its map and followed while it is managed.
struct ClientHints {
    WindowType type = WindowType::None;
    // _MOTIF_WM_HINTS: no decorations.
    bool undecorated = false;
    // WM_NORMAL_HINTS with the same minimum and maximum size: it cannot be
    // resized, so it is never cut.
    std::optional<Xcb::Size> fixedSize;
    // WM_HINTS input (true when it does not say) and WM_TAKE_FOCUS in
    // WM_PROTOCOLS: the ICCCM input model.
    bool input = true;
    bool takeFocus = false;
    // WM_HINTS urgency and window group.
    bool urgent = false;
    uint32_t group = 0;
    // WM_TRANSIENT_FOR.
    uint32_t transientFor = 0;
};

// The client's EWMH states (_NET_WM_STATE) as the kiosk keeps them.
struct WindowStates {
    bool fullscreen = false;
    bool above = false;
    bool below = false;
    bool modal = false;
    bool demandsAttention = false;
    // The states the client set that the kiosk does not act on, kept.
    std::vector<uint32_t> kept;
};

// What the client's EWMH properties show, as last written (or, for its
// states, as it listed them itself before its map).
struct ShownEwmh {
    std::vector<uint32_t> states;
    std::vector<uint32_t> actions;
    std::vector<uint32_t> extents;
    std::vector<uint32_t> fullscreenMonitors;
    bool desktop = false;
};

// One managed top-level window and its frame.
struct WmWindow {
    explicit WmWindow(uint32_t client) : win(client) {}

    FrameMetrics metrics() const { return {frameBorderWidth, borderWidth, titleHeight}; }

    uint32_t win = 0;
    uint32_t frame = 0;  // 0 while the window has no frame
    uint16_t frameBorderWidth = 0;
    // The frame's decoration: the border drawn left, right and below the
    // client, and the title bar above it.
    uint16_t borderWidth = 3;
    uint16_t titleHeight = 18;
    const gimp_image_t* iconImage = nullptr;
    const uint8_t* iconPixels = nullptr;
    const gimp_image_t* closeImage = nullptr;
    const uint8_t* closePixels = nullptr;
    // The cursor the frame shows.
    uint32_t cursor = 0;
    // Held at the screen's size by its rule.
    bool setFullscreen = false;
    // What its rule gives it: a title bar, a border (the rule's "frame").
    bool ruleTitlebar = true;
    bool ruleBorder = true;
    ClientHints hints;
    WindowStates states;
    ShownEwmh shown;
    // Where the window returns to when it leaves the full-screen state.
    Xcb::Rect restorePlace;
    // Where its frame was first placed; a later window is not laid exactly there.
    Xcb::Rect admittedAt;
    // The client's own X border width, given back when it is released.
    uint16_t clientBorderWidth = 0;
    // The client's window gravity: how its own positions map to the frame's.
    uint32_t gravity = XCB_GRAVITY_NORTH_WEST;
    // The monitor its held place is on (by name): the one its rule names
    // ("monitor", kept as ruleMonitor), else the one it was mostly on when it
    // was mapped or became full screen.
    std::string monitor;
    std::string ruleMonitor;
    // _NET_WM_FULLSCREEN_MONITORS: the monitors at its top, bottom, left
    // and right edges in the full-screen state.
    std::optional<std::array<uint32_t, 4>> fullscreenMonitors;
    // What a dock reserves at the root's edges.
    std::optional<Strut> strut;

    // Full-screen windows neither move nor resize by the pointer, nor by
    // their own requests.
    bool locked() const { return setFullscreen || states.fullscreen; }
    // Whether the kiosk gives it the keyboard: never to a splash window or a
    // dock, nor to one that takes no input by either ICCCM model.
    bool focusable() const {
        return hints.type != WindowType::Splash && hints.type != WindowType::Dock &&
               (hints.input || hints.takeFocus);
    }
    void setMetrics(const FrameMetrics& metrics) {
        frameBorderWidth = metrics.frameBorderWidth;
        borderWidth = metrics.borderWidth;
        titleHeight = metrics.titleHeight;
    }
};

// The records, newest first, found by client or by frame in constant time,
// and the log of the clients admitted and removed that the published client
// lists follow.  Touched by the kiosk's loop alone.
class WindowList {
public:
    // One admission or removal, in the order they happened.
    struct Change {
        uint32_t win;
        bool admitted;
    };

    // A new record for the client, at the front.
    WmWindow& admit(uint32_t win);
    // The record of the client; null when none.
    WmWindow* findByClient(uint32_t win);
    const WmWindow* findByClient(uint32_t win) const;
    // The record whose frame is that window; null when none.
    WmWindow* findByFrame(uint32_t frame);
    const WmWindow* findByFrame(uint32_t frame) const;
    // The record of a framed client whose frame is `frame`, as an unmap
    // reported through the frame names them; null when none.
    WmWindow* findFramed(uint32_t win, uint32_t frame);
    // The window's frame from now on (0 for none); findByFrame follows.
    void setFrame(WmWindow& window, uint32_t frame);
    void remove(const WmWindow& window);
    const std::list<WmWindow>& records() const { return windows; }
    std::list<WmWindow>& records() { return windows; }
    // What was admitted and removed since the last call.
    std::vector<Change> takeChanges();

private:
    using Position = std::list<WmWindow>::iterator;

    std::list<WmWindow> windows;
    std::unordered_map<uint32_t, Position> byClient;
    std::unordered_map<uint32_t, Position> byFrame;
    std::vector<Change> changes;
};

}  // namespace Velk
