// The rules file's words; see rule_keys.h.
#include "velk_kiosk/rule_keys.h"

#include <algorithm>
#include <string>

namespace Velk {

namespace {

enum class InRules : bool { No, Yes };

struct TypeEntry {
    WindowType type;
    std::string_view name;
    xcb_atom_t KioskAtoms::*atom;
    InRules inRules;
};

// In the order in which they win: a window that lists NORMAL and DIALOG is a
// dialog.
constexpr TypeEntry typeTable[] = {
    {WindowType::Dialog, "dialog", &KioskAtoms::netWmWindowTypeDialog, InRules::Yes},
    {WindowType::Utility, "utility", &KioskAtoms::netWmWindowTypeUtility, InRules::Yes},
    {WindowType::Splash, "splash", &KioskAtoms::netWmWindowTypeSplash, InRules::Yes},
    {WindowType::Menu, "menu", &KioskAtoms::netWmWindowTypeMenu, InRules::Yes},
    {WindowType::PopupMenu, "popup_menu", &KioskAtoms::netWmWindowTypePopupMenu, InRules::Yes},
    {WindowType::Tooltip, "tooltip", &KioskAtoms::netWmWindowTypeTooltip, InRules::Yes},
    {WindowType::Notification, "notification", &KioskAtoms::netWmWindowTypeNotification, InRules::Yes},
    {WindowType::Toolbar, "toolbar", &KioskAtoms::netWmWindowTypeToolbar, InRules::Yes},
    {WindowType::Dock, "dock", &KioskAtoms::netWmWindowTypeDock, InRules::Yes},
    {WindowType::Normal, "normal", &KioskAtoms::netWmWindowTypeNormal, InRules::Yes},
};

// A key of a rule: a text that matches windows, or a flag that says what
// they get.
struct RuleKey {
    std::string_view name;
    std::string JsonWindow::*text;
    bool JsonWindow::*flag;
    bool flagDefault;
};

// Texts default to "" (any window), flags to true: a rule that names only a
// class gives full screen, a border and a title bar.
constexpr RuleKey keyTable[] = {
    {"wm:window:type", &JsonWindow::windowType, nullptr, false},
    {"wm:class", &JsonWindow::wmClass, nullptr, false},
    {"wm:window:role", &JsonWindow::windowRole, nullptr, false},
    {"wm:name", &JsonWindow::wmName, nullptr, false},
    {"monitor", &JsonWindow::monitor, nullptr, false},
    {"frame", nullptr, &JsonWindow::border, true},
    {"fullscreen", nullptr, &JsonWindow::fullscreen, true},
    {"titlebar", nullptr, &JsonWindow::titlebar, true},
};

constexpr std::string_view typeKey = "wm:window:type";

}  // namespace

WindowType windowTypeOf(const std::list<uint32_t>& atoms, const KioskAtoms& names) {
    for (const TypeEntry& entry : typeTable) {
        if (std::find(atoms.begin(), atoms.end(), names.*entry.atom) != atoms.end()) {
            return entry.type;
        }
    }
    return WindowType::None;
}

std::string_view windowTypeName(WindowType type) {
    for (const TypeEntry& entry : typeTable) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    return {};
}

const std::vector<JsonKnownKey>& ruleKeys() {
    static const std::vector<JsonKnownKey> keys = [] {
        std::vector<JsonKnownKey> known;
        for (const RuleKey& key : keyTable) {
            known.push_back({std::string(key.name),
                             key.text ? JsonKind::String : JsonKind::Boolean,
                             std::nullopt,
                             std::nullopt,
                             {}});
        }
        JsonKnownKey& type = *std::find_if(known.begin(), known.end(),
                                           [](const JsonKnownKey& key) { return key.name == typeKey; });
        type.choices.emplace_back();
        for (const TypeEntry& entry : typeTable) {
            if (entry.inRules == InRules::Yes) {
                type.choices.emplace_back(entry.name);
            }
        }
        return known;
    }();
    return keys;
}

void readRule(const Json::Value& value, JsonWindow& rule) {
    for (const RuleKey& key : keyTable) {
        const std::string name(key.name);
        if (key.text) {
            rule.*key.text = value.get(name, "").asString();
        } else {
            rule.*key.flag = value.get(name, key.flagDefault).asBool();
        }
    }
}

}  // namespace Velk
