// The rule lookup of one window: its type name, role and WM_CLASS instance
// name are read anew on every call and handed to the matcher.
#include <algorithm>
#include <utility>

#include "velk_kiosk/wm_kiosk.h"

namespace Velk {

std::string WmKiosk::windowTypeName(uint32_t win) const {
    const std::list<xcb_atom_t> types = getPropertyAtomList(win, netWmWindowType);
    // The first name of this order that the window lists wins, wherever it
    // stands in the property.
    const std::pair<xcb_atom_t, const char*> known[] = {
        {netWmWindowTypeDialog, "dialog"},
        {netWmWindowTypeUtility, "utility"},
        {netWmWindowTypeSplash, "splash"},
        {netWmWindowTypeMenu, "menu"},
        {netWmWindowTypePopupMenu, "popup_menu"},
        {netWmWindowTypeTooltip, "tooltip"},
        {netWmWindowTypeNotification, "notification"},
        {netWmWindowTypeNormal, "normal"},
    };
    for (const auto& [atom, name] : known) {
        if (std::find(types.begin(), types.end(), atom) != types.end()) {
            return name;
        }
    }
    return {};
}

const JsonWindow* WmKiosk::findJsonWindow(const uint32_t& win) const {
    Syslog::debug("%s: win: %08x", "findJsonWindow", win);
    if (jsonWindows.empty()) {
        return nullptr;
    }
    WindowFacts facts;
    facts.typeName = windowTypeName(win);
    facts.role = getPropertyString(win, wmWindowRole);
    const std::list<std::string> classes = getPropertyStringList(win, wmClass);
    if (classes.empty()) {
        return nullptr;
    }
    facts.instanceName = classes.front();
    return matchWindowRule(jsonWindows, facts);
}

}  // namespace Velk
