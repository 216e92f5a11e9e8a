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

#include "velk_kiosk/client_protocols.h"
#include "velk_kiosk/frame_geometry.h"
#include "velk_kiosk/gimp_image.h"
#include "velk_kiosk/image_stamp.h"
#include "velk_kiosk/kiosk_atoms.h"
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
    // Makes the cursor context; throws velk_error("WmKiosk") when it cannot
    // be had.
    Framer(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms, WindowList& records,
           const ClientProtocols& clientProtocols);
    // Frees the stamps and the cursors; the caller's connection flushes them.
    ~Framer();
    Framer(const Framer&) = delete;
    Framer& operator=(const Framer&) = delete;

    // The read a new frame starts from, sent with the map request's own.
    Xcb::PendingAttributes requestFrameReads(uint32_t win) const;

    // The requests of a new frame, sent and not yet confirmed, so that the
    // caller sends its own after them and all are answered together.
    struct UnconfirmedFrame {
        Xcb::PendingCheck create;
        Xcb::PendingCheck reparent;
        Xcb::Connector::PendingConfigure place;
        Xcb::PendingCheck saveSet;
        FramePlacement placement;
    };
    // What createFrame did.  `framed`: the window has its frame, or the
    // platform's integrity mode wants none; false when skipped.
    // `unconfirmed`: the frame's requests, when a frame was made.
    struct FrameOutcome {
        bool framed = false;
        std::optional<UnconfirmedFrame> unconfirmed;
    };
    // Frames the window, not yet mapped, at its final place: the frame at
    // placement.frame, the client inside it at its size with no X border of
    // its own.
    FrameOutcome createFrame(WmWindow& window, Xcb::PendingAttributes attributes,
                             const FramePlacement& placement);
    // False, with the frame gone and the record without one, when the server
    // refused the frame or the re-parenting.
    bool confirmFrame(WmWindow& window, UnconfirmedFrame unconfirmed) const;
    // Maps the frame, unchecked: the caller maps the client first, so both
    // appear together.
    void showFrame(const WmWindow& window) const;
    // Gives the client back to the root where it showed inside the frame,
    // with its own border width, and drops the frame, unchecked.
    void releaseFrame(const WmWindow& window, const Xcb::Rect& frameGeometry) const;
    // The clients' own X borders, given back when the kiosk ends.
    void giveBordersBack() const;
    // Paints the whole frame again: the server clears it and sends Expose.
    void repaint(const WmWindow& window) const;
    // The root shows the theme's arrow, or nothing at all when the pointer is
    // to be hidden; frames then show nothing either.
    void showRootPointer(bool hidden);

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
    UnconfirmedFrame requestFrame(const WmWindow& window, xcb_window_t frame,
                                  const FramePlacement& placement);
    xcb_cursor_t invisibleCursor();
    void beginDrag(const WmWindow& window, const xcb_button_press_event_t* event);
    void endDrag(const WmWindow& window, const xcb_button_press_event_t* event);
    // The frame shows that theme cursor; false when the server refused it.
    bool showCursor(WmWindow& window, const char* name);
    // The theme's cursor of that name, loaded on its first use and kept.
    xcb_cursor_t themeCursor(const char* name);
    const ImageStamp& stampOf(const gimp_image_t& image, const uint8_t* pixels);

    const Xcb::Connector& connector;
    const KioskAtoms& atoms;
    WindowList& windows;
    const ClientProtocols& protocols;
    // Every cursor is this one while the pointer is hidden.
    xcb_cursor_t hiddenCursor = XCB_CURSOR_NONE;
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
