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

Ewmh::Ewmh(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms, const Xcb::Size& rootSize)
    : connector(xConnector), atoms(kioskAtoms) {
    makeCheckWindow();
    const std::vector<xcb_atom_t> supported = atoms.supported();
    xcb_change_property(connector.connection(), XCB_PROP_MODE_REPLACE, connector.windowRoot(),
                        atoms.netSupported, XCB_ATOM_ATOM, 32, static_cast<uint32_t>(supported.size()),
                        supported.data());
    // One desktop, which is the whole root: nothing to switch to.
    writeCardinals(atoms.netNumberOfDesktops, {1});
    writeCardinals(atoms.netCurrentDesktop, {0});
    writeCardinals(atoms.netDesktopViewport, {0, 0});
    writeDesktop(rootSize);
    showWorkarea({0, 0, rootSize.width, rootSize.height});
    writeWindows(atoms.netClientList, {});
    writeWindows(atoms.netClientListStacking, {});
    writeWindows(atoms.netActiveWindow, {XCB_NONE});
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
         {atoms.netSupportingWmCheck, atoms.netSupported, atoms.netClientList, atoms.netClientListStacking,
          atoms.netActiveWindow, atoms.netNumberOfDesktops, atoms.netCurrentDesktop, atoms.netDesktopViewport,
          atoms.netDesktopGeometry, atoms.netWorkarea}) {
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
    // Its property changes tell the kiosk the server's time (ServerTime).
    const uint32_t attributes[] = {1, XCB_EVENT_MASK_PROPERTY_CHANGE};
    if (!connector.confirm(
            connector.pending(xcb_create_window_checked(
                conn, 0, win, connector.windowRoot(), -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, attributes)),
            "Ewmh", "xcb_create_window")) {
        return;
    }
    checkWindow = win;
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, win, atoms.netSupportingWmCheck, XCB_ATOM_WINDOW, 32, 1,
                        &win);
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, win, atoms.netWmName, atoms.utf8String, 8,
                        static_cast<uint32_t>(kioskName.size()), kioskName.data());
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, connector.windowRoot(), atoms.netSupportingWmCheck,
                        XCB_ATOM_WINDOW, 32, 1, &win);
}

void Ewmh::onRootResized(const Xcb::Size& rootSize) const {
    writeDesktop(rootSize);
}

void Ewmh::writeDesktop(const Xcb::Size& rootSize) const {
    writeCardinals(atoms.netDesktopGeometry, {rootSize.width, rootSize.height});
}

void Ewmh::showWorkarea(const Xcb::Rect& area) {
    std::vector<uint32_t> values = {static_cast<uint32_t>(area.x), static_cast<uint32_t>(area.y), area.width,
                                    area.height};
    if (values != shownWorkarea) {
        writeCardinals(atoms.netWorkarea, values);
        shownWorkarea = std::move(values);
    }
}

// The desktop requests (another number of desktops, another desktop for the
// client or the view) have nothing to change on the one desktop: Other.
Ewmh::Message Ewmh::messageKind(xcb_atom_t type) const {
    const std::pair<xcb_atom_t, Message> kinds[] = {
        {atoms.netActiveWindow, Message::ActiveWindow},
        {atoms.netCloseWindow, Message::CloseWindow},
        {atoms.netWmState, Message::WmState},
        {atoms.netRestackWindow, Message::RestackWindow},
        {atoms.netRequestFrameExtents, Message::RequestFrameExtents},
        {atoms.netWmFullscreenMonitors, Message::FullscreenMonitors},
    };
    for (const auto& [atom, kind] : kinds) {
        if (type == atom) {
            return kind;
        }
    }
    return Message::Other;
}

void Ewmh::publish(WindowList& windows, xcb_window_t focused) {
    applyChanges(windows.takeChanges());
    active = focused;
}

// New clients go to the end of the mapping order.  A client that came and
// went before it was published is never listed.
void Ewmh::applyChanges(const std::vector<WindowList::Change>& changes) {
    std::vector<xcb_window_t> added;
    std::unordered_set<xcb_window_t> pending;
    for (const WindowList::Change& change : changes) {
        if (change.admitted) {
            added.push_back(change.win);
            pending.insert(change.win);
        } else if (pending.erase(change.win) == 0 && listed.erase(change.win) != 0) {
            mapped.erase(change.win);
            setWmState(change.win, withdrawnState);
        }
    }
    for (const xcb_window_t win : added) {
        if (pending.count(win) != 0 && listed.insert(win).second) {
            mapped.append(win);
            setWmState(win, normalState);
        }
    }
}

bool Ewmh::writeRootLists(Stacking& stacking) {
    const bool listWritten = writeList(atoms.netClientList, mapped);
    const bool stackingWritten = writeStacking(stacking);
    if (active == shownActive) {
        return listWritten || stackingWritten;
    }
    writeWindows(atoms.netActiveWindow, {active});
    shownActive = active;
    Syslog::debug("%s: active window: %08x", "writeRootLists", active);
    return true;
}

bool Ewmh::writeList(xcb_atom_t property, RootList& list) const {
    if (!list.rewrite && list.written == list.order.size()) {
        return false;
    }
    const size_t from = list.rewrite ? 0 : list.written;
    xcb_change_property(connector.connection(), from == 0 ? XCB_PROP_MODE_REPLACE : XCB_PROP_MODE_APPEND,
                        connector.windowRoot(), property, XCB_ATOM_WINDOW, 32,
                        static_cast<uint32_t>(list.order.size() - from), list.order.data() + from);
    list.written = list.order.size();
    list.rewrite = false;
    return true;
}

// Windows added on top of the order are appended to what the root shows;
// any other change writes the whole order.
bool Ewmh::writeStacking(Stacking& stacking) {
    const size_t unchanged = stacking.takeUnchangedPrefix();
    const std::vector<xcb_window_t>& order = stacking.order().order();
    const bool appendOnly = unchanged >= stackedWritten;
    if (appendOnly && stackedWritten == order.size()) {
        return false;
    }
    const size_t from = appendOnly ? stackedWritten : 0;
    xcb_change_property(connector.connection(), from == 0 ? XCB_PROP_MODE_REPLACE : XCB_PROP_MODE_APPEND,
                        connector.windowRoot(), atoms.netClientListStacking, XCB_ATOM_WINDOW, 32,
                        static_cast<uint32_t>(order.size() - from), order.data() + from);
    stackedWritten = order.size();
    return true;
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

// A client may be gone by now: the request is sent checked and its answer
// dropped, so a window that no longer exists costs no error report.
void Ewmh::setWmState(xcb_window_t win, uint32_t state) const {
    const uint32_t value[] = {state, XCB_NONE};
    connector.pending(xcb_change_property_checked(connector.connection(), XCB_PROP_MODE_REPLACE, win,
                                                  atoms.wmState, atoms.wmState, 32, 2, value));
}

void Ewmh::writeWindows(xcb_atom_t property, const std::vector<xcb_window_t>& list) const {
    xcb_change_property(connector.connection(), XCB_PROP_MODE_REPLACE, connector.windowRoot(), property,
                        XCB_ATOM_WINDOW, 32, static_cast<uint32_t>(list.size()), list.data());
}

void Ewmh::writeCardinals(xcb_atom_t property, const std::vector<uint32_t>& values) const {
    xcb_change_property(connector.connection(), XCB_PROP_MODE_REPLACE, connector.windowRoot(), property,
                        XCB_ATOM_CARDINAL, 32, static_cast<uint32_t>(values.size()), values.data());
}

}  // namespace Velk
