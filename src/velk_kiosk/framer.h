// The frames around the managed windows: their making and taking down, the
// title-bar pictures drawn from stamps kept on the server, the theme cursors,
// and what the pointer does on a frame (move, resize, close, resize cursors).
// Runs on the event thread; the records it works on are the window list's.
#pragma once

#include <xcb/xcb_cursor.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "velk_kiosk/frame_geometry.h"
#include "velk_kiosk/gimp_image.h"
#include "velk_kiosk/image_stamp.h"
#include "velk_kiosk/window_records.h"
#include "xcb/xcb.h"

namespace Velk {

// The drag that a held button 1 drives on a frame, from the press to the release.
struct WmAction {
    static constexpr uint32_t Resize = 0;
    static constexpr uint32_t Move = 1;
    static constexpr uint32_t Close = 2;

    WmAction(uint32_t actionKind, uint32_t frameWindow, int16_t x, int16_t y)
        : kind(actionKind), window(frameWindow), lastX(x), lastY(y) {}
    virtual ~WmAction() = default;

    uint32_t kind;
    uint32_t window;
    // Root position at the press, then at the last motion applied.
    int16_t lastX;
    int16_t lastY;
};

class Framer {
public:
    // Makes the cursor context and interns the frame's atoms; throws
    // velk_error("WmKiosk") when the cursor context cannot be had.
    Framer(const Xcb::Connector& xConnector, WindowList& records);
    // Frees the stamps and the cursors; the caller's connection flushes them.
    ~Framer();
    Framer(const Framer&) = delete;
    Framer& operator=(const Framer&) = delete;

    // The reads a new frame starts from, sent with the map request's own.
    struct FrameReads {
        Xcb::PendingAttributes attributes;
        Xcb::PendingGeometry client;
    };
    FrameReads requestFrameReads(uint32_t win) const;

    // The last requests of a new frame, sent and not yet confirmed, so that
    // the caller sends its own after them and all are answered together.
    struct UnconfirmedFrame {
        Xcb::Connector::PendingConfigure place;
        Xcb::PendingGeometry frame;
        Xcb::PendingGeometry client;
        Xcb::PendingCheck saveSet;
        // Read after the re-parenting: a client that withdrew its window
        // between the kiosk's map and the re-parenting sends no unmap the
        // frame would see.
        Xcb::PendingAttributes clientState;
    };
    // What createFrame did.  `framed`: the window has its frame, or the
    // platform's integrity mode wants none; false when skipped or failed.
    // `unconfirmed`: the frame's last requests, when a frame was made.
    struct FrameOutcome {
        bool framed = false;
        std::optional<UnconfirmedFrame> unconfirmed;
    };
    // Frames the window on a root of that size.
    FrameOutcome createFrame(WmWindow& window, bool fullscreen, FrameReads reads, const Xcb::Rect& root);
    // The new frame's geometry, and whether its client still shows.
    struct ConfirmedFrame {
        Xcb::Rect frame;
        bool clientShown;
    };
    ConfirmedFrame confirmFrame(const WmWindow& window, UnconfirmedFrame unconfirmed) const;
    // Gives the client back to the root where it showed inside the frame and
    // drops the frame, unchecked.
    void releaseFrame(const WmWindow& window, const Xcb::Rect& frameGeometry) const;

    // The pointer on a frame.
    void onButtonNotify(const xcb_button_press_event_t* event, bool press);
    void onMotionNotify(const xcb_motion_notify_event_t* event);
    bool onEnterLeaveNotify(const xcb_enter_notify_event_t* event, bool enter);
    void onExposeNotify(const xcb_expose_event_t* event);
    void moveResizeAction(const WmWindow& window, const WmAction& action, int16_t x, int16_t y);
    void destroyAction(const WmWindow& window, const WmAction& action, int16_t x, int16_t y);
    // Draws the image's non-black pixels at (left, top); false for window 0.  The
    // image goes to the server once, as a stamp, on its first draw.
    bool drawGimpImage(uint32_t win, uint16_t left, uint16_t top, const gimp_image_t& image,
                       const uint8_t* pixels);

private:
    bool openFrame(const WmWindow& window, xcb_window_t frame, const FramePlacement& placement);
    UnconfirmedFrame requestFrameEnd(const WmWindow& window, const FramePlacement& placement) const;
    void beginDrag(const WmWindow& window, const xcb_button_press_event_t* event);
    void endDrag(const WmWindow& window, const xcb_button_press_event_t* event);
    // The frame shows that theme cursor; false when the server refused it.
    bool showCursor(WmWindow& window, const char* name);
    // The theme's cursor of that name, loaded on its first use and kept.
    xcb_cursor_t themeCursor(const char* name);
    const ImageStamp& stampOf(const gimp_image_t& image, const uint8_t* pixels);

    const Xcb::Connector& connector;
    WindowList& windows;
    xcb_atom_t wmProtocols = 0;
    xcb_atom_t netWmName = 0;
    xcb_atom_t wmDeleteWindow = 0;
    xcb_atom_t utf8String = 0;
    std::unique_ptr<xcb_cursor_context_t, decltype(&xcb_cursor_context_free)> cursorContext{
        nullptr, xcb_cursor_context_free};
    std::unique_ptr<WmAction> dragAction;
    // Theme cursors by name: every frame and every crossing shows the same
    // cursor for a name, so each is loaded once.
    std::map<std::string, xcb_cursor_t> cursors;
    // The title-bar pictures on the server, by picture, made on first draw.
    std::map<std::pair<const gimp_image_t*, const uint8_t*>, ImageStamp> stamps;
};

}  // namespace Velk
