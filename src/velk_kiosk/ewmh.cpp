// The kiosk's EWMH root properties and the clients' WM_STATE; see ewmh.h.
#include "velk_kiosk/ewmh.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "logger.h"

namespace Velk {

namespace {

constexpr std::string_view kioskName = "velk_kiosk";
// ICCCM WM_STATE values.
constexpr uint32_t withdrawnState = 0;
constexpr uint32_t normalState = 1;

bool contains(const std::vector<xcb_window_t>& list, xcb_window_t win) {
    return std::find(list.begin(), list.end(), win) != list.end();
}

bool isRecorded(const WindowList& windows, xcb_window_t win) {
    const auto& records = windows.records();
    return std::any_of(records.begin(), records.end(),
                       [win](const WmWindow& window) { return window.win == win; });
}

// The client whose frame, or which itself when it has none, is that child of the root.
const WmWindow* recordOfTopLevel(const WindowList& windows, xcb_window_t child) {
    for (const WmWindow& window : windows.records()) {
        if (window.frame == child || (window.frame == 0 && window.win == child)) {
            return &window;
        }
    }
    return nullptr;
}

}  // namespace

Ewmh::Ewmh(const Xcb::Connector& xConnector) : connector(xConnector) {
    const std::vector<xcb_atom_t> atoms = connector.getAtoms(
        {"_NET_SUPPORTED", "_NET_SUPPORTING_WM_CHECK", "_NET_WM_NAME", "UTF8_STRING", "_NET_CLIENT_LIST",
         "_NET_CLIENT_LIST_STACKING", "_NET_ACTIVE_WINDOW", "_NET_CLOSE_WINDOW", "_NET_WM_STATE",
         "_NET_WM_STATE_FULLSCREEN", "_NET_FRAME_EXTENTS", "WM_STATE"},
        true);
    netSupported = atoms[0];
    netSupportingWmCheck = atoms[1];
    netWmName = atoms[2];
    utf8String = atoms[3];
    netClientList = atoms[4];
    netClientListStacking = atoms[5];
    netActiveWindow = atoms[6];
    netCloseWindow = atoms[7];
    netWmState = atoms[8];
    netWmStateFullscreen = atoms[9];
    netFrameExtents = atoms[10];
    wmState = atoms[11];
    makeCheckWindow();
    const std::vector<xcb_atom_t> supported = {
        netSupported,    netSupportingWmCheck, netWmName,  netClientList,        netClientListStacking,
        netActiveWindow, netCloseWindow,       netWmState, netWmStateFullscreen, netFrameExtents};
    xcb_change_property(connector.connection(), XCB_PROP_MODE_REPLACE, connector.windowRoot(), netSupported,
                        XCB_ATOM_ATOM, 32, static_cast<uint32_t>(supported.size()), supported.data());
    writeWindows(netClientList, mapped);
    writeWindows(netClientListStacking, stacked);
    writeWindows(netActiveWindow, {XCB_NONE});
    xcb_flush(connector.connection());
}

Ewmh::~Ewmh() {
    xcb_connection_t* conn = connector.connection();
    for (const xcb_atom_t property :
         {netSupportingWmCheck, netSupported, netClientList, netClientListStacking, netActiveWindow}) {
        xcb_delete_property(conn, connector.windowRoot(), property);
    }
    if (checkWindow != 0) {
        xcb_destroy_window(conn, checkWindow);
    }
    xcb_flush(conn);
}

// Tools find the window manager through this window: it names itself and
// the kiosk.  Without it the kiosk still manages windows, unnamed.
void Ewmh::makeCheckWindow() {
    xcb_connection_t* conn = connector.connection();
    const xcb_window_t win = xcb_generate_id(conn);
    const uint32_t overrideRedirect = 1;
    if (!connector.confirm(
            connector.pending(xcb_create_window_checked(conn, 0, win, connector.windowRoot(), -1, -1, 1, 1, 0,
                                                        XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                                                        XCB_CW_OVERRIDE_REDIRECT, &overrideRedirect)),
            "Ewmh", "xcb_create_window")) {
        return;
    }
    checkWindow = win;
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, win, netSupportingWmCheck, XCB_ATOM_WINDOW, 32, 1, &win);
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, win, netWmName, utf8String, 8,
                        static_cast<uint32_t>(kioskName.size()), kioskName.data());
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, connector.windowRoot(), netSupportingWmCheck,
                        XCB_ATOM_WINDOW, 32, 1, &win);
}

Ewmh::Message Ewmh::messageKind(xcb_atom_t type) const {
    if (type == netActiveWindow) {
        return Message::ActiveWindow;
    }
    if (type == netCloseWindow) {
        return Message::CloseWindow;
    }
    if (type == netWmState) {
        return Message::WmState;
    }
    return Message::Other;
}

void Ewmh::publish(const WindowList& windows, xcb_window_t active, bool restacked) {
    std::vector<xcb_window_t> order = restacked ? readStacking(windows) : keepStacking(windows);
    std::vector<xcb_window_t> byMapping = mappingOrder(windows, order);
    updateWmState(order);
    if (byMapping != mapped) {
        writeWindows(netClientList, byMapping);
        mapped = std::move(byMapping);
    }
    if (order != stacked) {
        writeWindows(netClientListStacking, order);
        stacked = std::move(order);
    }
    if (active != shownActive) {
        writeWindows(netActiveWindow, {active});
        shownActive = active;
        Syslog::debug("%s: active window: %08x", "publish", active);
    }
    xcb_flush(connector.connection());
}

// The root's children come bottom to top; a client counts where its frame is.
std::vector<xcb_window_t> Ewmh::readStacking(const WindowList& windows) const {
    const auto [tree, error] =
        connector.pending(xcb_query_tree(connector.connection(), connector.windowRoot()))
            .reply(xcb_query_tree_reply);
    if (!tree) {
        connector.toSyslogError(error, "publish", "xcb_query_tree");
        return keepStacking(windows);
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    std::vector<xcb_window_t> order;
    for (int at = 0; at < xcb_query_tree_children_length(tree.get()); ++at) {
        if (const WmWindow* window = recordOfTopLevel(windows, children[at])) {
            order.push_back(window->win);
        }
    }
    return order;
}

// Clients that left are taken out; new ones, which the kiosk shows last, go on top.
std::vector<xcb_window_t> Ewmh::keepStacking(const WindowList& windows) const {
    std::vector<xcb_window_t> order;
    std::copy_if(stacked.begin(), stacked.end(), std::back_inserter(order),
                 [&windows](xcb_window_t win) { return isRecorded(windows, win); });
    const auto& records = windows.records();
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        if (!contains(order, record->win)) {
            order.push_back(record->win);
        }
    }
    return order;
}

// The records are newest first: the clients not listed yet follow the others
// oldest first.
std::vector<xcb_window_t> Ewmh::mappingOrder(const WindowList& windows,
                                             const std::vector<xcb_window_t>& present) const {
    std::vector<xcb_window_t> order;
    std::copy_if(mapped.begin(), mapped.end(), std::back_inserter(order),
                 [&present](xcb_window_t win) { return contains(present, win); });
    const auto& records = windows.records();
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        if (contains(present, record->win) && !contains(order, record->win)) {
            order.push_back(record->win);
        }
    }
    return order;
}

void Ewmh::updateWmState(const std::vector<xcb_window_t>& present) const {
    for (const xcb_window_t win : present) {
        if (!contains(stacked, win)) {
            setWmState(win, normalState);
        }
    }
    for (const xcb_window_t win : stacked) {
        if (!contains(present, win)) {
            setWmState(win, withdrawnState);
        }
    }
}

// A client may be gone by now: the request is sent checked and its answer
// dropped, so a window that no longer exists costs no error report.
void Ewmh::setWmState(xcb_window_t win, uint32_t state) const {
    const uint32_t value[] = {state, XCB_NONE};
    connector.pending(xcb_change_property_checked(connector.connection(), XCB_PROP_MODE_REPLACE, win, wmState,
                                                  wmState, 32, 2, value));
}

void Ewmh::writeWindows(xcb_atom_t property, const std::vector<xcb_window_t>& list) const {
    xcb_change_property(connector.connection(), XCB_PROP_MODE_REPLACE, connector.windowRoot(), property,
                        XCB_ATOM_WINDOW, 32, static_cast<uint32_t>(list.size()), list.data());
}

}  // namespace Velk
