// The kiosk's atoms; see kiosk_atoms.h.
#include "velk_kiosk/kiosk_atoms.h"

#include <string_view>

namespace Velk {

namespace {

enum class Listed : bool { No, InNetSupported };

struct AtomEntry {
    xcb_atom_t KioskAtoms::*member;
    std::string_view name;
    Listed listed;
};

// Each name once.  A hint is listed in _NET_SUPPORTED only where the kiosk
// acts on it: the root's lists and desktop, the requests it answers, the
// client properties it writes or follows, the states it keeps and the
// actions it allows, and the window types that change what it does
// (dialogs are centred and stay above their group, splash windows are
// centred and never focused, docks are neither framed nor focused and stand
// above the others).  The types that only rules look at are not listed.
constexpr AtomEntry atomTable[] = {
    {&KioskAtoms::utf8String, "UTF8_STRING", Listed::No},
    {&KioskAtoms::wmClass, "WM_CLASS", Listed::No},
    {&KioskAtoms::wmWindowRole, "WM_WINDOW_ROLE", Listed::No},
    {&KioskAtoms::wmProtocols, "WM_PROTOCOLS", Listed::No},
    {&KioskAtoms::wmDeleteWindow, "WM_DELETE_WINDOW", Listed::No},
    {&KioskAtoms::wmTakeFocus, "WM_TAKE_FOCUS", Listed::No},
    {&KioskAtoms::wmState, "WM_STATE", Listed::No},
    {&KioskAtoms::motifWmHints, "_MOTIF_WM_HINTS", Listed::No},
    {&KioskAtoms::netSupported, "_NET_SUPPORTED", Listed::InNetSupported},
    {&KioskAtoms::netSupportingWmCheck, "_NET_SUPPORTING_WM_CHECK", Listed::InNetSupported},
    {&KioskAtoms::netClientList, "_NET_CLIENT_LIST", Listed::InNetSupported},
    {&KioskAtoms::netClientListStacking, "_NET_CLIENT_LIST_STACKING", Listed::InNetSupported},
    {&KioskAtoms::netActiveWindow, "_NET_ACTIVE_WINDOW", Listed::InNetSupported},
    {&KioskAtoms::netNumberOfDesktops, "_NET_NUMBER_OF_DESKTOPS", Listed::InNetSupported},
    {&KioskAtoms::netCurrentDesktop, "_NET_CURRENT_DESKTOP", Listed::InNetSupported},
    {&KioskAtoms::netDesktopGeometry, "_NET_DESKTOP_GEOMETRY", Listed::InNetSupported},
    {&KioskAtoms::netDesktopViewport, "_NET_DESKTOP_VIEWPORT", Listed::InNetSupported},
    {&KioskAtoms::netWorkarea, "_NET_WORKAREA", Listed::InNetSupported},
    {&KioskAtoms::netCloseWindow, "_NET_CLOSE_WINDOW", Listed::InNetSupported},
    {&KioskAtoms::netRestackWindow, "_NET_RESTACK_WINDOW", Listed::InNetSupported},
    {&KioskAtoms::netRequestFrameExtents, "_NET_REQUEST_FRAME_EXTENTS", Listed::InNetSupported},
    {&KioskAtoms::netWmName, "_NET_WM_NAME", Listed::InNetSupported},
    {&KioskAtoms::netWmPid, "_NET_WM_PID", Listed::InNetSupported},
    {&KioskAtoms::netWmDesktop, "_NET_WM_DESKTOP", Listed::InNetSupported},
    {&KioskAtoms::netFrameExtents, "_NET_FRAME_EXTENTS", Listed::InNetSupported},
    {&KioskAtoms::netWmFullscreenMonitors, "_NET_WM_FULLSCREEN_MONITORS", Listed::InNetSupported},
    {&KioskAtoms::netWmStrut, "_NET_WM_STRUT", Listed::InNetSupported},
    {&KioskAtoms::netWmStrutPartial, "_NET_WM_STRUT_PARTIAL", Listed::InNetSupported},
    {&KioskAtoms::netWmState, "_NET_WM_STATE", Listed::InNetSupported},
    {&KioskAtoms::netWmStateFullscreen, "_NET_WM_STATE_FULLSCREEN", Listed::InNetSupported},
    {&KioskAtoms::netWmStateAbove, "_NET_WM_STATE_ABOVE", Listed::InNetSupported},
    {&KioskAtoms::netWmStateBelow, "_NET_WM_STATE_BELOW", Listed::InNetSupported},
    {&KioskAtoms::netWmStateModal, "_NET_WM_STATE_MODAL", Listed::InNetSupported},
    {&KioskAtoms::netWmStateDemandsAttention, "_NET_WM_STATE_DEMANDS_ATTENTION", Listed::InNetSupported},
    {&KioskAtoms::netWmAllowedActions, "_NET_WM_ALLOWED_ACTIONS", Listed::InNetSupported},
    {&KioskAtoms::netWmActionMove, "_NET_WM_ACTION_MOVE", Listed::InNetSupported},
    {&KioskAtoms::netWmActionResize, "_NET_WM_ACTION_RESIZE", Listed::InNetSupported},
    {&KioskAtoms::netWmActionFullscreen, "_NET_WM_ACTION_FULLSCREEN", Listed::InNetSupported},
    {&KioskAtoms::netWmActionClose, "_NET_WM_ACTION_CLOSE", Listed::InNetSupported},
    {&KioskAtoms::netWmActionAbove, "_NET_WM_ACTION_ABOVE", Listed::InNetSupported},
    {&KioskAtoms::netWmActionBelow, "_NET_WM_ACTION_BELOW", Listed::InNetSupported},
    {&KioskAtoms::netWmWindowType, "_NET_WM_WINDOW_TYPE", Listed::InNetSupported},
    {&KioskAtoms::netWmWindowTypeNormal, "_NET_WM_WINDOW_TYPE_NORMAL", Listed::InNetSupported},
    {&KioskAtoms::netWmWindowTypeDialog, "_NET_WM_WINDOW_TYPE_DIALOG", Listed::InNetSupported},
    {&KioskAtoms::netWmWindowTypeSplash, "_NET_WM_WINDOW_TYPE_SPLASH", Listed::InNetSupported},
    {&KioskAtoms::netWmWindowTypeUtility, "_NET_WM_WINDOW_TYPE_UTILITY", Listed::No},
    {&KioskAtoms::netWmWindowTypeToolbar, "_NET_WM_WINDOW_TYPE_TOOLBAR", Listed::No},
    {&KioskAtoms::netWmWindowTypeMenu, "_NET_WM_WINDOW_TYPE_MENU", Listed::No},
    {&KioskAtoms::netWmWindowTypePopupMenu, "_NET_WM_WINDOW_TYPE_POPUP_MENU", Listed::No},
    {&KioskAtoms::netWmWindowTypeTooltip, "_NET_WM_WINDOW_TYPE_TOOLTIP", Listed::No},
    {&KioskAtoms::netWmWindowTypeNotification, "_NET_WM_WINDOW_TYPE_NOTIFICATION", Listed::No},
    {&KioskAtoms::netWmWindowTypeDock, "_NET_WM_WINDOW_TYPE_DOCK", Listed::InNetSupported},
};

}  // namespace

KioskAtoms::KioskAtoms(const Xcb::Connector& connector) {
    std::vector<std::string_view> names;
    for (const AtomEntry& entry : atomTable) {
        names.push_back(entry.name);
    }
    const std::vector<xcb_atom_t> atoms = connector.getAtoms(names, true);
    for (size_t index = 0; index < atoms.size(); ++index) {
        this->*atomTable[index].member = atoms[index];
    }
}

std::vector<xcb_atom_t> KioskAtoms::supported() const {
    std::vector<xcb_atom_t> listed;
    for (const AtomEntry& entry : atomTable) {
        if (entry.listed == Listed::InNetSupported) {
            listed.push_back(this->*entry.member);
        }
    }
    return listed;
}

}  // namespace Velk
