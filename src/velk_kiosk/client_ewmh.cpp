// The clients' EWMH properties; see client_ewmh.h.
#include "velk_kiosk/client_ewmh.h"

#include <algorithm>
#include <utility>

#include "xcb/parsers.h"

namespace Velk {

namespace {

struct StateEntry {
    bool WindowStates::*flag;
    xcb_atom_t KioskAtoms::*atom;
};

// The states the kiosk acts on.
constexpr StateEntry stateTable[] = {
    {&WindowStates::fullscreen, &KioskAtoms::netWmStateFullscreen},
    {&WindowStates::above, &KioskAtoms::netWmStateAbove},
    {&WindowStates::below, &KioskAtoms::netWmStateBelow},
    {&WindowStates::modal, &KioskAtoms::netWmStateModal},
    {&WindowStates::demandsAttention, &KioskAtoms::netWmStateDemandsAttention},
};

// Action 0 removes a state.
constexpr uint32_t addState = 1;
constexpr uint32_t toggleState = 2;
// The one desktop there is.
constexpr uint32_t onlyDesktop = 0;

const StateEntry* entryOf(xcb_atom_t atom, const KioskAtoms& atoms) {
    for (const StateEntry& entry : stateTable) {
        if (atom != 0 && atoms.*entry.atom == atom) {
            return &entry;
        }
    }
    return nullptr;
}

bool sameSet(std::vector<uint32_t> one, std::vector<uint32_t> other) {
    std::sort(one.begin(), one.end());
    std::sort(other.begin(), other.end());
    return one == other;
}

std::vector<uint32_t> extentsOf(const FrameMetrics& metrics) {
    const uint32_t side = uint32_t{metrics.frameBorderWidth} + metrics.borderWidth;
    return {side, side, uint32_t{metrics.frameBorderWidth} + metrics.titleHeight, side};
}

}  // namespace

WindowStates requestedStates(const WindowStates& states, uint32_t action, xcb_atom_t first, xcb_atom_t second,
                             const KioskAtoms& atoms) {
    WindowStates changed = states;
    for (const xcb_atom_t atom : {first, second}) {
        const StateEntry* entry = entryOf(atom, atoms);
        if (!entry || action > toggleState) {
            continue;
        }
        bool& flag = changed.*entry->flag;
        flag = action == toggleState ? !flag : action == addState;
    }
    // The two layers exclude each other: the one asked for last wins.
    if (changed.above && changed.below) {
        changed.above = !states.above;
        changed.below = !states.below;
    }
    return changed;
}

std::vector<xcb_atom_t> stateAtoms(const WindowStates& states, const KioskAtoms& atoms) {
    std::vector<xcb_atom_t> listed = states.kept;
    for (const StateEntry& entry : stateTable) {
        if (states.*entry.flag) {
            listed.push_back(atoms.*entry.atom);
        }
    }
    return listed;
}

std::vector<xcb_atom_t> allowedActions(const WmWindow& window, const KioskAtoms& atoms) {
    std::vector<xcb_atom_t> actions = {atoms.netWmActionClose, atoms.netWmActionFullscreen,
                                       atoms.netWmActionAbove, atoms.netWmActionBelow};
    if (!window.locked()) {
        actions.push_back(atoms.netWmActionMove);
        if (!window.hints.fixedSize) {
            actions.push_back(atoms.netWmActionResize);
        }
    }
    return actions;
}

ClientEwmh::ClientEwmh(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms)
    : connector(xConnector), atoms(kioskAtoms) {}

void ClientEwmh::adoptStates(WmWindow& window, std::string_view stateBytes) const {
    const std::list<uint32_t> listed = Xcb::propertyWords(stateBytes);
    window.shown.states.assign(listed.begin(), listed.end());
    window.states = {};
    for (const xcb_atom_t atom : listed) {
        if (const StateEntry* entry = entryOf(atom, atoms)) {
            window.states.*entry->flag = true;
        } else if (std::find(window.states.kept.begin(), window.states.kept.end(), atom) ==
                   window.states.kept.end()) {
            window.states.kept.push_back(atom);
        }
    }
}

void ClientEwmh::publish(WmWindow& window) const {
    std::vector<uint32_t> states = stateAtoms(window.states, atoms);
    if (!sameSet(states, window.shown.states)) {
        write(window.win, atoms.netWmState, XCB_ATOM_ATOM, states);
        window.shown.states = std::move(states);
    }
    std::vector<uint32_t> actions = allowedActions(window, atoms);
    if (actions != window.shown.actions) {
        write(window.win, atoms.netWmAllowedActions, XCB_ATOM_ATOM, actions);
        window.shown.actions = std::move(actions);
    }
    std::vector<uint32_t> extents = extentsOf(window.metrics());
    if (extents != window.shown.extents) {
        write(window.win, atoms.netFrameExtents, XCB_ATOM_CARDINAL, extents);
        window.shown.extents = std::move(extents);
    }
    if (window.fullscreenMonitors) {
        std::vector<uint32_t> edges(window.fullscreenMonitors->begin(), window.fullscreenMonitors->end());
        if (edges != window.shown.fullscreenMonitors) {
            write(window.win, atoms.netWmFullscreenMonitors, XCB_ATOM_CARDINAL, edges);
            window.shown.fullscreenMonitors = std::move(edges);
        }
    }
    if (!window.shown.desktop) {
        write(window.win, atoms.netWmDesktop, XCB_ATOM_CARDINAL, {onlyDesktop});
        window.shown.desktop = true;
    }
}

void ClientEwmh::publishExtents(xcb_window_t win, const FrameMetrics& metrics) const {
    write(win, atoms.netFrameExtents, XCB_ATOM_CARDINAL, extentsOf(metrics));
}

// The desktop stays: there is only the one, which a window mapped again
// gets anyway.
void ClientEwmh::withdraw(const WmWindow& window) const {
    if (!window.shown.states.empty()) {
        xcb_delete_property(connector.connection(), window.win, atoms.netWmState);
    }
}

// A client's window may be gone by now: its error comes as an event and is
// reported there as a race.
void ClientEwmh::write(xcb_window_t win, xcb_atom_t property, xcb_atom_t type,
                       const std::vector<uint32_t>& values) const {
    xcb_change_property(connector.connection(), XCB_PROP_MODE_REPLACE, win, property, type, 32,
                        static_cast<uint32_t>(values.size()), values.data());
}

}  // namespace Velk
