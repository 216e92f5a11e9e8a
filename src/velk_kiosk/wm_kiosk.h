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
#include <memory>
#include <mutex>
#include <thread>

#include "logger.h"
#include "velk_kiosk/frame_geometry.h"
#include "velk_kiosk/gimp_image.h"
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

class WmKiosk : public Xcb::Connector, public Syslog {
public:
    // Connects to ":<display>" (20 attempts 100 ms apart, with the cookie of
    // XCB_AUTH_COOKIE when set), loads the rules, takes the root's substructure
    // redirect, sets kioskRunning and starts the event thread.  Throws
    // velk_error("WmKiosk") when any of it fails (another window manager
    // running included); jsoncpp's error when a rule holds a mistyped value.
    explicit WmKiosk(int display);
    // Stops and joins the event thread, then disconnects; the server gives the
    // framed clients back to the root through the save set.
    ~WmKiosk() override;

    WmKiosk(const WmKiosk&) = delete;
    WmKiosk& operator=(const WmKiosk&) = delete;

    // Every X request failure of the window manager, in its own wording.
    void toSyslogError(const Xcb::GenericError& error, std::string_view caller,
                       std::string_view request) const override;

    // The event thread: polls until kioskRunning is cleared or the connection
    // fails, then signals the processes of the managed windows.
    void threadLoop();
    // Dispatches at most one pending event; false when none was pending.
    bool poolEvents();

    // The first rule that applies to the window, or null (always null for a
    // window without WM_CLASS).
    const JsonWindow* findJsonWindow(const uint32_t& win) const;

    // Frames and their pointer handling.  Callers of createFrame,
    // moveResizeAction and destroyAction hold `lock`; the others take it.
    bool createFrame(WmWindow& window, bool fullscreen);
    void onButtonNotify(const xcb_button_press_event_t* event, bool press);
    bool onEnterLeaveNotify(const xcb_enter_notify_event_t* event, bool enter);
    void onExposeNotify(const xcb_expose_event_t* event);
    void moveResizeAction(const WmWindow& window, const WmAction& action, int16_t x, int16_t y);
    void destroyAction(const WmWindow& window, const WmAction& action, int16_t x, int16_t y);
    // Draws the image's non-black pixels at (x, y); false for window 0.
    bool drawGimpImage(uint32_t win, uint16_t x, uint16_t y, const gimp_image_t& image,
                       const uint8_t* pixels) const;

    // Placement: admission, configure filtering, withdrawal, screen changes.
    void onMapRequest(const xcb_map_request_event_t* event);
    void onConfigureRequest(const xcb_configure_request_event_t* event);
    void unmapNotify(uint32_t win, uint32_t eventWindow);
    void randrNotifyCrtcChanged(uint16_t width, uint16_t height);

private:
    void connectWithRetries(int display, const std::vector<uint8_t>& cookie);
    void loadRules();
    void checkExtensions();
    void takeRootRedirect();
    void internAtoms();
    void sendKillToClients() const;

    void dispatchCoreEvent(const xcb_generic_event_t* event);
    void onRandrNotify(const xcb_generic_event_t* event);
    void onFixesCursorNotify(const xcb_generic_event_t* event) const;
    void onMotionNotify(const xcb_motion_notify_event_t* event);

    bool isFullscreenWindow(uint32_t win) const;
    bool isFrameWindow(uint32_t win) const;
    WmWindow& admitWindow(uint32_t win, bool fullscreen, bool frame);
    void fitToRoot(const WmWindow& window) const;
    void focusWindow(uint32_t win, const char* caller) const;
    void notifyClientGeometry(uint32_t win, uint32_t frame, const FrameMetrics& metrics) const;
    void releaseFrame(const WmWindow& window, const Xcb::Rect& frameGeometry) const;
    void relayout(const WmWindow& window, uint16_t width, uint16_t height) const;

    std::string windowTypeName(uint32_t win) const;
    // The record whose frame is the given window; null when none.  Under `lock`.
    WmWindow* findByFrame(uint32_t frame);
    WmWindow* findByClient(uint32_t win);

    std::list<WmWindow> windows;
    std::mutex lock;
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
    std::filesystem::path configPath;
    std::list<JsonWindow> jsonWindows;
};

}  // namespace Velk
