// The kiosk window manager: holds the display's substructure redirect, admits
// every top-level window the kiosk program maps into a frame chosen by the
// window rules, keeps windows on the screen and follows RandR size changes.
// All X events are handled on one event thread owned by WmKiosk.
#pragma once

#include <xcb/xcb_cursor.h>
#include <xcb/xfixes.h>

#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "logger.h"
#include "velk_kiosk/descendants.h"
#include "velk_kiosk/frame_geometry.h"
#include "velk_kiosk/gimp_image.h"
#include "velk_kiosk/image_stamp.h"
#include "velk_kiosk/pending_reply.h"
#include "velk_kiosk/window_rules.h"
#include "xcb/xcb.h"

namespace Velk {

// One managed top-level window and its frame.
struct WmWindow {
    explicit WmWindow(uint32_t client) : win(client) {}

    FrameMetrics metrics() const { return {frameBorderWidth, borderWidth, titleHeight}; }

    uint32_t win = 0;
    uint32_t frame = 0;  // 0 while the window has no frame
    uint16_t frameBorderWidth = 0;
    uint16_t borderWidth = 3;  // 0 when setFrame is false
    uint16_t titleHeight = 18;
    const gimp_image_t* iconImage = nullptr;
    const uint8_t* iconPixels = nullptr;
    const gimp_image_t* closeImage = nullptr;
    const uint8_t* closePixels = nullptr;
    // The cursor the frame shows.
    uint32_t cursor = 0;
    bool setFrame = false;
    bool setFullscreen = false;
};

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

// Why the display cannot be taken over, in words for whoever started the
// kiosk (main says them on standard error): no X server answers, another
// window manager holds the display, an extension the kiosk needs is missing.
class DisplayError : public velk_error {
public:
    using velk_error::velk_error;
};

class WmKiosk : public Xcb::Connector, public Syslog {
public:
    // Connects to ":<display>" (20 attempts 100 ms apart, with the cookie of
    // XCB_AUTH_COOKIE when set), loads the rules, takes the root's substructure
    // redirect, sets kioskRunning and starts the event thread.  Throws
    // DisplayError when the display cannot be had, velk_error("WmKiosk") for
    // other failures.  A broken rules file is logged and leaves no rules.
    explicit WmKiosk(int display);
    // Stops and joins the event thread, frees the title-bar stamps and the
    // cursors, then disconnects; the server gives the framed clients back
    // to the root through the save set.
    ~WmKiosk() override;

    WmKiosk(const WmKiosk&) = delete;
    WmKiosk& operator=(const WmKiosk&) = delete;

    // Every X request failure of the window manager, in its own wording.
    void toSyslogError(const Xcb::GenericError& error, std::string_view caller,
                       std::string_view request) const override;

    // The event thread: polls until kioskRunning is cleared or the connection
    // fails; after a stop it signals the processes of the managed windows that
    // descend from the kiosk, and the kiosk's program.
    void threadLoop();
    // Takes the program the kiosk started: it gets SIGTERM when the kiosk is
    // stopped (at once when the stop came first), so that it ends even when
    // no window of it names its pid.
    void holdProgram(PidFd process);
    // Dispatches at most one pending event; false when none was pending.
    bool poolEvents();

    // The first rule that applies to the window, or null (always null for a
    // window without WM_CLASS).
    const JsonWindow* findJsonWindow(const uint32_t& win) const;

    // Frames and their pointer handling.  Callers of createFrame (below),
    // moveResizeAction and destroyAction hold `lock`; the others take it.
    void onButtonNotify(const xcb_button_press_event_t* event, bool press);
    bool onEnterLeaveNotify(const xcb_enter_notify_event_t* event, bool enter);
    void onExposeNotify(const xcb_expose_event_t* event);
    void moveResizeAction(const WmWindow& window, const WmAction& action, int16_t x, int16_t y);
    void destroyAction(const WmWindow& window, const WmAction& action, int16_t x, int16_t y);
    // Draws the image's non-black pixels at (x, y); false for window 0.  The
    // image goes to the server once, as a stamp, on its first draw.
    bool drawGimpImage(uint32_t win, uint16_t x, uint16_t y, const gimp_image_t& image,
                       const uint8_t* pixels);

    // Placement: admission, configure filtering, withdrawal, screen changes.
    void onMapRequest(const xcb_map_request_event_t* event);
    void onConfigureRequest(const xcb_configure_request_event_t* event);
    void unmapNotify(uint32_t win, uint32_t eventWindow);
    void randrNotifyCrtcChanged(uint16_t width, uint16_t height);

private:
    void connectWithRetries(int display, const std::vector<uint8_t>& cookie);
    // At start and on SIGHUP: the rules for every window mapped afterwards.
    void loadRules();
    void checkExtensions();
    void takeRootRedirect();
    void internAtoms();
    void sendKillToClients() const;
    std::vector<PidFd> holdClientProcesses() const;
    void stopProgram();
    void signalProgram() const;
    void waitForInput() const;

    void dispatchCoreEvent(const xcb_generic_event_t* event);
    void onRandrNotify(const xcb_generic_event_t* event);
    void onFixesCursorNotify(const xcb_generic_event_t* event) const;
    void onMotionNotify(const xcb_motion_notify_event_t* event);

    // The property reads of one rule lookup, sent together.
    struct RuleReads {
        PendingProperty types;
        PendingProperty role;
        PendingProperty classes;
    };
    // None when there are no rules, which need no reads.
    std::optional<RuleReads> requestRuleFacts(uint32_t win) const;
    const JsonWindow* collectRule(uint32_t win, std::optional<RuleReads> reads) const;
    PendingProperty requestProperty(uint32_t win, xcb_atom_t prop, xcb_atom_t type) const;
    // The value bytes of the expected type (at most 32768), else empty.
    std::string collectProperty(PendingProperty& read) const;

    // A geometry change sent now and confirmed later, logged like the
    // connector's setWindowGeometry.
    struct GeometryChange {
        PendingCheck request;
        uint32_t win;
        Xcb::Rect place;
    };
    // The reads a new frame starts from, sent with the map request's own.
    struct FrameReads {
        PendingReply<xcb_get_window_attributes_cookie_t> attributes;
        PendingGeometry client;
    };
    // The last requests of a new frame, confirmed and logged once the caller
    // has sent its own after them.
    struct FrameSettle {
        GeometryChange place;
        PendingGeometry frame;
        PendingGeometry client;
        PendingCheck saveSet;
        // Read after the re-parenting: a client that withdrew its window
        // between the kiosk's map and the re-parenting sends no unmap the
        // frame would see.
        PendingReply<xcb_get_window_attributes_cookie_t> clientState;
    };
    struct SettledFrame {
        Xcb::Rect frame;
        bool clientShown;
    };

    bool isFullscreenRule(const JsonWindow* rule) const;
    bool isFrameWindow(const JsonWindow* rule, uint32_t win, PendingProperty& wmName) const;
    FrameReads requestFrameReads(uint32_t win) const;
    WmWindow& admitWindow(uint32_t win, bool fullscreen, bool frame, FrameReads& reads, const Xcb::Rect& root,
                          std::optional<FrameSettle>& settle);
    GeometryChange requestGeometry(uint32_t win, const Xcb::Rect& place) const;
    void confirmGeometry(GeometryChange& change) const;
    std::vector<GeometryChange> fitToRoot(const WmWindow& window, const Xcb::Rect& root) const;
    PendingCheck requestFocus(uint32_t win) const;
    void confirmFocus(PendingCheck& focus, const char* caller) const;
    void focusWindow(uint32_t win, const char* caller) const;

    // Frames the window on a root of that size: true when framed, and in the
    // platform's integrity mode, which makes no frame.  Leaves the answers of
    // the frame's last requests in `settle`, for finishFrame.
    bool createFrame(WmWindow& window, bool fullscreen, FrameReads& reads, const Xcb::Rect& root,
                     std::optional<FrameSettle>& settle);
    bool openFrame(const WmWindow& window, xcb_window_t frame, const FramePlacement& placement);
    FrameSettle requestSettle(const WmWindow& window, const FramePlacement& placement) const;
    SettledFrame finishFrame(const WmWindow& window, FrameSettle& settle) const;
    void dropWithdrawnClient(const WmWindow& window, const Xcb::Rect& frameGeometry);
    // The theme's cursor of that name, loaded on its first use and kept.
    xcb_cursor_t themeCursor(const char* name);
    const ImageStamp& stampOf(const gimp_image_t& image, const uint8_t* pixels);
    void notifyClientGeometry(uint32_t win, uint32_t frame, const FrameMetrics& metrics) const;
    void releaseFrame(const WmWindow& window, const Xcb::Rect& frameGeometry) const;
    void relayout(const WmWindow& window, uint16_t width, uint16_t height) const;

    std::string windowTypeName(const std::list<xcb_atom_t>& types) const;
    // The record whose frame is the given window; null when none.  Under `lock`.
    WmWindow* findByFrame(uint32_t frame);
    WmWindow* findByClient(uint32_t win);

    std::list<WmWindow> windows;
    // Also guards the hand-over of the program between the main thread and
    // the event thread's end.
    std::mutex lock;
    std::optional<PidFd> program;
    // The event thread has ended on a stop and signalled what it held.
    bool stopped = false;
    const xcb_query_extension_reply_t* randrExt = nullptr;
    const xcb_query_extension_reply_t* xfixesExt = nullptr;

    xcb_atom_t wmClass = 0;
    xcb_atom_t wmProtocols = 0;
    xcb_atom_t netWmPid = 0;
    xcb_atom_t netWmWindowType = 0;
    xcb_atom_t netWmName = 0;
    xcb_atom_t wmWindowRole = 0;
    xcb_atom_t wmDeleteWindow = 0;
    xcb_atom_t netWmWindowTypeNormal = 0;
    xcb_atom_t netWmWindowTypeDialog = 0;
    xcb_atom_t netWmWindowTypeUtility = 0;
    xcb_atom_t netWmWindowTypeSplash = 0;
    xcb_atom_t netWmWindowTypeMenu = 0;
    xcb_atom_t netWmWindowTypePopupMenu = 0;
    xcb_atom_t netWmWindowTypeTooltip = 0;
    xcb_atom_t netWmWindowTypeNotification = 0;
    xcb_atom_t utf8String = 0;

    std::unique_ptr<xcb_cursor_context_t, decltype(&xcb_cursor_context_free)> cursorContext{
        nullptr, xcb_cursor_context_free};
    std::thread eventThread;
    std::unique_ptr<WmAction> dragAction;
    // Theme cursors by name: every frame and every crossing shows the same
    // cursor for a name, so each is loaded once.
    std::map<std::string, xcb_cursor_t> cursors;
    // The title-bar pictures on the server, by picture, made on first draw.
    std::map<std::pair<const gimp_image_t*, const uint8_t*>, ImageStamp> stamps;
    std::filesystem::path configPath;
    std::list<JsonWindow> jsonWindows;
};

}  // namespace Velk
