// Every atom the kiosk uses, interned together once at its start, and the
// hints it names in _NET_SUPPORTED: only those it acts on.
#pragma once

#include <vector>

#include "xcb/xcb.h"

namespace Velk {

struct KioskAtoms {
    // Interns every atom of the table (kiosk_atoms.cpp) in one round trip;
    // an atom the server refused stays 0.
    explicit KioskAtoms(const Xcb::Connector& connector);
    // Every atom 0: for the parts' own tests, which need no server.
    KioskAtoms() = default;

    // The atoms of the EWMH hints the kiosk implements, in table order.
    std::vector<xcb_atom_t> supported() const;

    // ICCCM and the toolkits' own.
    xcb_atom_t utf8String = 0;
    xcb_atom_t wmClass = 0;
    xcb_atom_t wmWindowRole = 0;
    xcb_atom_t wmProtocols = 0;
    xcb_atom_t wmDeleteWindow = 0;
    xcb_atom_t wmTakeFocus = 0;
    xcb_atom_t wmState = 0;
    xcb_atom_t motifWmHints = 0;
    // The root's EWMH properties and the requests programs send to it.
    xcb_atom_t netSupported = 0;
    xcb_atom_t netSupportingWmCheck = 0;
    xcb_atom_t netClientList = 0;
    xcb_atom_t netClientListStacking = 0;
    xcb_atom_t netActiveWindow = 0;
    xcb_atom_t netNumberOfDesktops = 0;
    xcb_atom_t netCurrentDesktop = 0;
    xcb_atom_t netDesktopGeometry = 0;
    xcb_atom_t netDesktopViewport = 0;
    xcb_atom_t netWorkarea = 0;
    xcb_atom_t netCloseWindow = 0;
    xcb_atom_t netRestackWindow = 0;
    xcb_atom_t netRequestFrameExtents = 0;
    // The clients' EWMH properties.
    xcb_atom_t netWmName = 0;
    xcb_atom_t netWmPid = 0;
    xcb_atom_t netWmDesktop = 0;
    xcb_atom_t netFrameExtents = 0;
    xcb_atom_t netWmFullscreenMonitors = 0;
    xcb_atom_t netWmStrut = 0;
    xcb_atom_t netWmStrutPartial = 0;
    xcb_atom_t netWmState = 0;
    xcb_atom_t netWmStateFullscreen = 0;
    xcb_atom_t netWmStateAbove = 0;
    xcb_atom_t netWmStateBelow = 0;
    xcb_atom_t netWmStateModal = 0;
    xcb_atom_t netWmStateDemandsAttention = 0;
    xcb_atom_t netWmAllowedActions = 0;
    xcb_atom_t netWmActionMove = 0;
    xcb_atom_t netWmActionResize = 0;
    xcb_atom_t netWmActionFullscreen = 0;
    xcb_atom_t netWmActionClose = 0;
    xcb_atom_t netWmActionAbove = 0;
    xcb_atom_t netWmActionBelow = 0;
    xcb_atom_t netWmWindowType = 0;
    xcb_atom_t netWmWindowTypeNormal = 0;
    xcb_atom_t netWmWindowTypeDialog = 0;
    xcb_atom_t netWmWindowTypeSplash = 0;
    xcb_atom_t netWmWindowTypeUtility = 0;
    xcb_atom_t netWmWindowTypeToolbar = 0;
    xcb_atom_t netWmWindowTypeMenu = 0;
    xcb_atom_t netWmWindowTypePopupMenu = 0;
    xcb_atom_t netWmWindowTypeTooltip = 0;
    xcb_atom_t netWmWindowTypeNotification = 0;
    xcb_atom_t netWmWindowTypeDock = 0;
};

}  // namespace Velk
