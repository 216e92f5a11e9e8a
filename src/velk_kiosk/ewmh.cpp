// The kiosk's EWMH root properties and the clients' WM_STATE; see ewmh.h.
#include "velk_kiosk/ewmh.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "logger.h"

namespace Velk {

namespace {

constexpr std::string_view kioskName = "velk_kiosk";
// ICCCM WM_STATE values.
constexpr uint32_t withdrawnState = 0;
constexpr uint32_t normalState = 1;

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
    writeWindows(netClientList, {});
    writeWindows(netClientListStacking, {});
    writeWindows(netActiveWindow, {XCB_NONE});
    xcb_flush(connector.connection());
}

// Waited for: a connection closed with events still unread may be reset
// before the server has read these last requests.  A lost display has
// nothing left to take away.
Ewmh::~Ewmh() {
    if (connector.hasError() != 0) {
        return;
    }
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

void Ewmh::publish(WindowList& windows, xcb_window_t active, bool restacked) {
    applyChanges(windows.takeChanges());
    if (restacked) {
        stacked.replace(readStacking(windows));
    }
    if (active != shownActive) {
        writeWindows(netActiveWindow, {active});
        shownActive = active;
        Syslog::debug("%s: active window: %08x", "publish", active);
    }
}

// New clients go on top of the stacking order, which is where the kiosk
// shows them.  A client that came and went before it was published is
// never listed.
void Ewmh::applyChanges(const std::vector<WindowList::Change>& changes) {
    std::vector<xcb_window_t> added;
    std::unordered_set<xcb_window_t> pending;
    for (const WindowList::Change& change : changes) {
        if (change.admitted) {
            added.push_back(change.win);
            pending.insert(change.win);
        } else if (pending.erase(change.win) == 0 && listed.erase(change.win) != 0) {
            mapped.erase(change.win);
            stacked.erase(change.win);
            setWmState(change.win, withdrawnState);
        }
    }
    for (const xcb_window_t win : added) {
        if (pending.count(win) != 0 && listed.insert(win).second) {
            mapped.append(win);
            stacked.append(win);
            setWmState(win, normalState);
        }
    }
}

void Ewmh::writeRootLists() {
    writeList(netClientList, mapped);
    writeList(netClientListStacking, stacked);
}

void Ewmh::writeList(xcb_atom_t property, RootList& list) const {
    if (!list.rewrite && list.written == list.order.size()) {
        return;
    }
    const size_t from = list.rewrite ? 0 : list.written;
    xcb_change_property(connector.connection(), from == 0 ? XCB_PROP_MODE_REPLACE : XCB_PROP_MODE_APPEND,
                        connector.windowRoot(), property, XCB_ATOM_WINDOW, 32,
                        static_cast<uint32_t>(list.order.size() - from), list.order.data() + from);
    list.written = list.order.size();
    list.rewrite = false;
}

void Ewmh::RootList::erase(xcb_window_t win) {
    const auto at = std::find(order.begin(), order.end(), win);
    if (at == order.end()) {
        return;
    }
    if (static_cast<size_t>(at - order.begin()) < written) {
        rewrite = true;
    }
    order.erase(at);
}

void Ewmh::RootList::replace(std::vector<xcb_window_t> windows) {
    const size_t shown = std::min(written, order.size());
    if (windows.size() < shown || !std::equal(order.begin(), order.begin() + shown, windows.begin())) {
        rewrite = true;
    }
    order = std::move(windows);
}

// The root's children come bottom to top; a client counts where its frame
// is.  A listed client the tree lacks keeps its place on top.
std::vector<xcb_window_t> Ewmh::readStacking(const WindowList& windows) const {
    const auto [tree, error] =
        connector.pending(xcb_query_tree(connector.connection(), connector.windowRoot()))
            .reply(xcb_query_tree_reply);
    if (!tree) {
        connector.toSyslogError(error, "publish", "xcb_query_tree");
        return stacked.order;
    }
    std::unordered_set<xcb_window_t> seen;
    std::vector<xcb_window_t> order;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int at = 0; at < xcb_query_tree_children_length(tree.get()); ++at) {
        const WmWindow* window = windows.findByFrame(children[at]);
        if (!window) {
            window = windows.findByClient(children[at]);
        }
        if (window && listed.count(window->win) != 0 && seen.insert(window->win).second) {
            order.push_back(window->win);
        }
    }
    for (const xcb_window_t win : stacked.order) {
        if (seen.count(win) == 0) {
            order.push_back(win);
        }
    }
    return order;
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
