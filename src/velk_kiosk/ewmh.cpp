// The kiosk's EWMH root properties and the clients' WM_STATE; see ewmh.h.
#include "velk_kiosk/ewmh.h"

#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "logger.h"

namespace Velk {

namespace {

constexpr std::string_view kioskName = "velk_kiosk";
// ICCCM WM_STATE values.
constexpr uint32_t withdrawnState = 0;
constexpr uint32_t normalState = 1;

using WindowSet = std::unordered_set<xcb_window_t>;

WindowSet recordedClients(const WindowList& windows) {
    WindowSet clients;
    for (const WmWindow& window : windows.records()) {
        clients.insert(window.win);
    }
    return clients;
}

// The records' clients that `listed` lacks, added to it and to `order` oldest
// first (the records are newest first); `eligible` when given bounds them.
void appendUnlisted(const WindowList& windows, const WindowSet* eligible, WindowSet& listed,
                    std::vector<xcb_window_t>& order) {
    const auto& records = windows.records();
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        if ((!eligible || eligible->count(record->win) != 0) && listed.insert(record->win).second) {
            order.push_back(record->win);
        }
    }
}

// The windows of `list` that `kept` holds, in their order.
std::vector<xcb_window_t> keepListed(const std::vector<xcb_window_t>& list, const WindowSet& kept,
                                     WindowSet& listed) {
    std::vector<xcb_window_t> order;
    for (const xcb_window_t win : list) {
        if (kept.count(win) != 0 && listed.insert(win).second) {
            order.push_back(win);
        }
    }
    return order;
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

// Waited for: a connection closed with events still unread may be reset
// before the server has read these last requests.
Ewmh::~Ewmh() {
    xcb_connection_t* conn = connector.connection();
    std::vector<Xcb::PendingCheck> removals;
    for (const xcb_atom_t property :
         {netSupportingWmCheck, netSupported, netClientList, netClientListStacking, netActiveWindow}) {
        removals.push_back(
            connector.pending(xcb_delete_property_checked(conn, connector.windowRoot(), property)));
    }
    std::optional<Xcb::PendingCheck> destroy;
    if (checkWindow != 0) {
        destroy.emplace(connector.pending(xcb_destroy_window_checked(conn, checkWindow)));
    }
    for (auto& removal : removals) {
        connector.confirm(std::move(removal), "~Ewmh", "xcb_delete_property");
    }
    if (destroy) {
        connector.confirm(std::move(*destroy), "~Ewmh", "xcb_destroy_window");
    }
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
    // A handler changes the records by one admission or one removal at most:
    // their number and the newest of them show whether anything changed.
    const auto& records = windows.records();
    const RecordsSeen seen{records.size(), records.empty() ? xcb_window_t{XCB_NONE} : records.front().win};
    if (!restacked && seen == recordsSeen && active == shownActive) {
        return;
    }
    recordsSeen = seen;
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
    std::unordered_map<xcb_window_t, xcb_window_t> clientOfTopLevel;
    for (const WmWindow& window : windows.records()) {
        clientOfTopLevel.emplace(window.frame != 0 ? window.frame : window.win, window.win);
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    std::vector<xcb_window_t> order;
    for (int at = 0; at < xcb_query_tree_children_length(tree.get()); ++at) {
        const auto found = clientOfTopLevel.find(children[at]);
        if (found != clientOfTopLevel.end()) {
            order.push_back(found->second);
        }
    }
    return order;
}

// Clients that left are taken out; new ones, which the kiosk shows last, go on top.
std::vector<xcb_window_t> Ewmh::keepStacking(const WindowList& windows) const {
    WindowSet listed;
    std::vector<xcb_window_t> order = keepListed(stacked, recordedClients(windows), listed);
    appendUnlisted(windows, nullptr, listed, order);
    return order;
}

// The clients listed before keep their places; the others follow.
std::vector<xcb_window_t> Ewmh::mappingOrder(const WindowList& windows,
                                             const std::vector<xcb_window_t>& present) const {
    const WindowSet presentSet(present.begin(), present.end());
    WindowSet listed;
    std::vector<xcb_window_t> order = keepListed(mapped, presentSet, listed);
    appendUnlisted(windows, &presentSet, listed, order);
    return order;
}

void Ewmh::updateWmState(const std::vector<xcb_window_t>& present) const {
    const WindowSet before(stacked.begin(), stacked.end());
    const WindowSet after(present.begin(), present.end());
    for (const xcb_window_t win : present) {
        if (before.count(win) == 0) {
            setWmState(win, normalState);
        }
    }
    for (const xcb_window_t win : stacked) {
        if (after.count(win) == 0) {
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
