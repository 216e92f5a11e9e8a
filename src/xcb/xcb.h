// The kiosk's one road to the X server: a connection to a local display with
// typed operations on atoms, window properties, geometry, screen images and
// RandR modes.  X errors are reported through one virtual hook and turned into
// neutral results; only three operations throw.
#pragma once

// This header is itself reached as "xcb/xcb.h", so the library's own xcb.h is
// taken in through randr.h, which includes it relative to its own directory.
#include <xcb/randr.h>

#include <cstdint>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "xcb/replies.h"

namespace Velk {

// Thrown by the connecting constructor, copyWindowPixmapTo and cvtCreateMode;
// the message is the throwing operation's name, the details were logged.
class xcb_error : public std::runtime_error {
public:
    explicit xcb_error(const std::string& func) : std::runtime_error(func) {}
};

namespace Xcb {

// x -1, y -1, width 0, height 0 stands for a geometry that could not be had.
struct Rect {
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 0;
    uint16_t height = 0;

    // The far edges are summed in 32 bits, so a rectangle reaching past 32767
    // does not wrap.  Nothing is inside an empty rectangle.
    static bool include(const Rect& rect, int16_t px, int16_t py);
    // Rectangles that only share an edge do not intersect; an empty one
    // intersects nothing.
    static bool intersects(const Rect& first, const Rect& second);
};

struct Size {
    uint16_t width = 0;
    uint16_t height = 0;
};

// The ICCCM WM_SIZE_HINTS record, word for word.
struct SizeHints {
    uint32_t flags = 0;
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t minWidth = 0;
    int32_t minHeight = 0;
    int32_t maxWidth = 0;
    int32_t maxHeight = 0;
    int32_t widthIncrement = 0;
    int32_t heightIncrement = 0;
    int32_t minAspectNumerator = 0;
    int32_t minAspectDenominator = 0;
    int32_t maxAspectNumerator = 0;
    int32_t maxAspectDenominator = 0;
    int32_t baseWidth = 0;
    int32_t baseHeight = 0;
    uint32_t windowGravity = 0;
};
static_assert(sizeof(SizeHints) == size_t{18} * 4, "WM_SIZE_HINTS is 18 words");

// What copyWindowPixmapTo wrote; all zero when nothing was copied.
struct PixmapInfo {
    uint8_t* pixels = nullptr;
    uint64_t size = 0;
    uint32_t redMask = 0;
    uint32_t greenMask = 0;
    uint32_t blueMask = 0;
    uint8_t bitsPerPixel = 0;
};

// Every operation but the constructors, connectToDisplay and hasError needs a
// successful connection and does not check for one.  Reads never throw for an
// X error: it goes to toSyslogError and the operation returns its neutral value.
class Connector {
public:
    // No connection yet; a derived class connects later with connectToDisplay.
    Connector() = default;
    // Connects to display ":<display>", with an MIT-MAGIC-COOKIE-1 cookie when
    // one is given (an empty vector still goes through the cookie variant).
    // Throws xcb_error("Connector") when the connection cannot be made.
    Connector(uint32_t display, const std::vector<uint8_t>* cookie);

    // The first virtual slot, ahead of the destructor: the one writer of X
    // errors, which derived classes override to change the wording.  Caller
    // and request are literals.
    virtual void toSyslogError(const GenericError& error, std::string_view caller,
                               std::string_view request) const;
    // Disconnects.
    virtual ~Connector() = default;

    Connector(const Connector&) = delete;
    Connector& operator=(const Connector&) = delete;

    // Replaces any held connection (the old one is closed first).  False on a
    // refused connection, a missing setup, screen or root-depth format, or a
    // server without RandR; a failed connection stays held so hasError tells why.
    bool connectToDisplay(uint32_t display, const std::vector<uint8_t>* cookie);
    // -1 without a connection, else libxcb's error code (0 while healthy).
    int hasError() const;

    xcb_window_t windowRoot() const;
    // Of the pixmap format of the root depth.
    uint8_t depth() const;
    uint8_t bitsPerPixel() const;

    // First pixmap format, in server order, of that depth; null when none.
    const xcb_format_t* findFormat(uint8_t formatDepth) const;
    // Searched over every allowed depth of the screen; null when none.
    const xcb_visualtype_t* findVisual(xcb_visualid_t visual) const;
    // 0 when no pixmap format matches.
    uint8_t bppFromDepth(uint8_t formatDepth) const;
    uint8_t depthFromBpp(uint8_t bpp) const;

    // 0 on any failure, and for an unknown name when create is false; logs nothing.
    xcb_atom_t getAtom(std::string_view name, bool create) const;
    // As getAtom for each name, in the order of the names, in one round trip.
    std::vector<xcb_atom_t> getAtoms(const std::vector<std::string_view>& names, bool create) const;
    // "NONE" for atom 0 (without a request) and on every failure.
    std::string getAtomName(xcb_atom_t atom) const;

    // Window properties.  A property that is missing or of another type than
    // the read expects gives the empty value without a log line.
    // The reply of GetProperty of any type; empty after an error.
    GenericReply<xcb_get_property_reply_t> getPropertyAnyType(xcb_window_t win, xcb_atom_t prop,
                                                              uint32_t offset, uint32_t length) const;
    // 0 when the property does not exist.
    xcb_atom_t getPropertyType(xcb_window_t win, xcb_atom_t prop) const;
    // STRING value with all its bytes, NULs included; at most 32768 bytes.
    std::string getPropertyString(xcb_window_t win, xcb_atom_t prop) const;
    std::string getPropertyStringUtf8(xcb_window_t win, xcb_atom_t prop) const;
    // Each NUL ends one element; a final NUL adds no empty element.
    std::list<std::string> getPropertyStringList(xcb_window_t win, xcb_atom_t prop) const;
    xcb_atom_t getPropertyAtom(xcb_window_t win, xcb_atom_t prop) const;
    std::list<xcb_atom_t> getPropertyAtomList(xcb_window_t win, xcb_atom_t prop) const;
    uint32_t getPropertyCardinal(xcb_window_t win, xcb_atom_t prop) const;
    xcb_window_t getPropertyWindow(xcb_window_t win, xcb_atom_t prop) const;
    // WM_NAME when it is a non-empty STRING, else the UTF-8 _NET_WM_NAME.
    std::string getWindowName(xcb_window_t win) const;
    // With a null record: whether the request worked.  Otherwise false when the
    // window has no WM_SIZE_HINTS value; a value shorter than 18 words clears
    // base size and gravity and keeps flag bits 0xFF only.
    bool getWindowNormalHints(xcb_window_t win, SizeHints* hints);
    // _NET_CLIENT_LIST of the root when it is a WINDOW list, else the root's
    // children bottom to top.
    std::list<xcb_window_t> getWindows() const;

    // The request style of everything that waits for the server: send now,
    // collect later (replies.h).  A request the connector has no operation
    // for goes out on connection() and is held by pending().
    xcb_connection_t* connection() const { return conn.get(); }
    const xcb_screen_t& rootScreen() const { return *screen; }
    // The pixmap format of the root depth.
    const xcb_format_t& rootFormat() const { return *format; }
    template <typename Cookie>
    PendingReply<Cookie> pending(Cookie cookie) const {
        return {conn.get(), cookie};
    }
    // Whether the server took a checked request; an X error, or a connection
    // that broke so the request never ran, is reported as the caller's.
    bool confirm(PendingCheck request, std::string_view caller, std::string_view requestName) const;

    // GetProperty of the expected type, up to 32768 bytes: the server answers
    // a value of another type with its type alone, so one request does what
    // a type probe and a read do.
    PendingProperty requestProperty(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type) const;
    // The value bytes; empty when missing, empty or of another type.  An X
    // error is reported as the caller's.
    std::string collectProperty(PendingProperty read, std::string_view caller) const;
    PendingGeometry requestGeometry(xcb_window_t win) const;
    // As getWindowGeometry without translation reads it, no error reported.
    static Rect collectGeometry(PendingGeometry read);

    // A checked ConfigureWindow of the position, the size or both.
    struct PendingConfigure {
        PendingCheck request;
        xcb_window_t win;
        uint16_t mask;
        int32_t x;
        int32_t y;
        uint32_t width;
        uint32_t height;
    };
    // The mask holds X and Y, WIDTH and HEIGHT, or all four; the values of
    // the bits it lacks are not sent.
    PendingConfigure requestConfigure(xcb_window_t win, uint16_t mask, int32_t x, int32_t y, uint32_t width,
                                      uint32_t height) const;
    // False after an X error, reported as the caller's; on success the
    // caller's debug line says the new position, size or both.
    bool confirmConfigure(PendingConfigure change, std::string_view caller) const;

    // Geometry.  Reads report no X error; a window that is gone gives
    // {-1, -1, 0, 0}, or size 0x0.
    Rect getWindowGeometry(xcb_window_t win, bool translate) const;
    Size getWindowSize(xcb_window_t win) const;
    // Checked requests: each waits for the server; false after an X error.
    bool setWindowPosition(xcb_window_t win, int32_t x, int32_t y) const;
    bool setWindowSize(xcb_window_t win, uint32_t width, uint32_t height) const;
    bool setWindowGeometry(xcb_window_t win, int32_t x, int32_t y, uint32_t width, uint32_t height) const;

    // Copies the region of the root window (root coordinates; win only names the
    // caller's window in the log) into the buffer, rows one after the other in
    // the server's ZPixmap layout, in as many GetImage requests as the maximum
    // request length needs.  An empty region or buffer, or a root format under
    // 8 bits per pixel, gives the zero result.  Throws xcb_error
    // ("copyWindowPixmapTo") on an X error, an unknown visual or a buffer too
    // small; bytes copied before stay in the buffer.
    PixmapInfo copyWindowPixmapTo(xcb_window_t win, const Rect& region, uint8_t* buffer,
                                  size_t bufferSize) const;

    // RandR.  Outputs and CRTCs are indexes into the current screen resources.
    // Empty after an error.
    GenericReply<xcb_randr_get_screen_resources_current_reply_t> randrCurrentScreenResources();
    // Creates the mode WIDTHxHEIGHT_60 from /usr/bin/cvt's timings, lowering the
    // refresh while the pixel clock is over 300 MHz.  Throws xcb_error for a
    // refresh of 0 or less or a mode line without sync tokens, the mode name (a
    // std::string) when the server refuses to create it, and lets the command's
    // and the number parsers' exceptions through.
    xcb_randr_mode_t cvtCreateMode(uint16_t width, uint16_t height, int vertRefresh) const;
    // The mode now available on the output (existing, found by size or name, or
    // created); 0 on failure.
    xcb_randr_mode_t randrOutputModeAdd(uint16_t output, uint16_t width, uint16_t height);
    // Removes a mode of that size from the output when it lists one; true unless
    // the output or the resources cannot be had.
    bool randrOutputModeDelete(uint16_t output, uint16_t width, uint16_t height);
    // Mode 0 is looked up by size.  A failed primary selection is logged only.
    bool randrCrtcConnectToOutputMode(uint16_t crtc, uint16_t output, int16_t x, int16_t y, uint16_t width,
                                      uint16_t height, xcb_randr_mode_t mode, bool primary);
    bool randrCrtcDisconnect(uint16_t crtc);
    // The width goes up to a multiple of 8; millimetres follow from the dpi
    // (96 when it is 0).
    bool randrSetScreenSize(uint16_t width, uint16_t height, uint16_t dpi);
    // RandR 1.0 sizes in server order; empty after an error.
    std::vector<xcb_randr_screen_size_t> getScreenSizes() const;

protected:
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> conn{nullptr, xcb_disconnect};
    // Owned by the connection; valid while it lives.
    const xcb_setup_t* setup = nullptr;
    xcb_screen_t* screen = nullptr;
    const xcb_format_t* format = nullptr;

private:
    // The steps of connectToDisplay once the connection is open: the setup's
    // first screen and its pixmap format, then RandR 1.6.
    bool takeScreen();
    bool checkRandr() const;
    // GetScreenInfo of the root (RandR 1.0); empty after an error.
    GenericReply<xcb_randr_get_screen_info_reply_t> randrScreenInfo(std::string_view caller) const;
    GenericReply<xcb_randr_get_output_info_reply_t> randrOutputInfo(
        const xcb_randr_get_screen_resources_current_reply_t& resources, uint16_t output,
        std::string_view caller) const;
    bool randrSetCrtcConfig(const xcb_randr_get_screen_info_reply_t& info, xcb_randr_crtc_t crtc, int16_t x,
                            int16_t y, xcb_randr_mode_t mode, const std::vector<xcb_randr_output_t>& outputs,
                            std::string_view caller) const;
};

}  // namespace Xcb
}  // namespace Velk
