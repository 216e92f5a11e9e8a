// Rules read from JSON, the facts of a window read off the server, and the
// match of the two.
#include "velk_kiosk/window_rules.h"

#include <algorithm>
#include <iterator>
#include <system_error>
#include <utility>
#include <vector>

#include "logger.h"
#include "velk_kiosk/rules_file.h"
#include "xcb/parsers.h"

namespace Velk {

const Json::Value& operator>>(const Json::Value& value, JsonWindow& rule) {
    rule.windowType = value.get("wm:window:type", "").asString();
    rule.wmClass = value.get("wm:class", "").asString();
    rule.windowRole = value.get("wm:window:role", "").asString();
    rule.frame = value.get("frame", true).asBool();
    rule.fullscreen = value.get("fullscreen", true).asBool();
    return value;
}

namespace {

// Only the text before the first "*" counts; what follows it is not looked at.
bool prefixMatches(const std::string& pattern, size_t star, const std::string& instance) {
    const std::string prefix = pattern.substr(0, star);
    const std::string head = instance.substr(0, std::min(star, instance.size()));
    if (prefix != head) {
        return false;
    }
    Syslog::debug("%s: found token: `%s'", "findJsonWindow", prefix.c_str());
    return true;
}

bool classMatches(const JsonWindow& rule, const std::string& instance) {
    if (rule.wmClass.empty() || rule.wmClass == "*" || rule.wmClass == instance) {
        Syslog::debug("%s: found class: `%s'", "findJsonWindow", rule.wmClass.c_str());
        return true;
    }
    const size_t star = rule.wmClass.find('*');
    return star != std::string::npos && prefixMatches(rule.wmClass, star, instance);
}

}  // namespace

const JsonWindow* matchWindowRule(const std::list<JsonWindow>& rules, const WindowFacts& facts) {
    for (const auto& rule : rules) {
        if (!rule.windowType.empty() && rule.windowType != facts.typeName) {
            continue;
        }
        if (!rule.windowRole.empty() && rule.windowRole != facts.role) {
            continue;
        }
        if (classMatches(rule, facts.instanceName)) {
            return &rule;
        }
    }
    return nullptr;
}

RuleLookup::RuleLookup(const Xcb::Connector& xConnector, std::filesystem::path rulesPath)
    : connector(xConnector), configPath(std::move(rulesPath)) {
    // The first name of this order that a window lists wins, wherever it
    // stands in the property.
    const std::vector<std::string_view> names = {
        "WM_CLASS",
        "_NET_WM_WINDOW_TYPE",
        "WM_WINDOW_ROLE",
        "_NET_WM_WINDOW_TYPE_DIALOG",
        "_NET_WM_WINDOW_TYPE_UTILITY",
        "_NET_WM_WINDOW_TYPE_SPLASH",
        "_NET_WM_WINDOW_TYPE_MENU",
        "_NET_WM_WINDOW_TYPE_POPUP_MENU",
        "_NET_WM_WINDOW_TYPE_TOOLTIP",
        "_NET_WM_WINDOW_TYPE_NOTIFICATION",
        "_NET_WM_WINDOW_TYPE_NORMAL",
    };
    const char* const typeNameOf[] = {"dialog",     "utility", "splash",       "menu",
                                      "popup_menu", "tooltip", "notification", "normal"};
    const std::vector<xcb_atom_t> atoms = connector.getAtoms(names, true);
    wmClass = atoms[0];
    netWmWindowType = atoms[1];
    wmWindowRole = atoms[2];
    for (size_t index = 0; index < std::size(typeNameOf); ++index) {
        typeNames.emplace_back(atoms[3 + index], typeNameOf[index]);
    }
    loadRules();
}

void RuleLookup::loadRules() {
    std::error_code ec;
    if (!std::filesystem::exists(configPath, ec)) {
        rules.clear();
        return;
    }
    RulesFile file = readRulesFile(configPath);
    for (const JsonProblem& problem : file.problems) {
        Syslog::error("%s: %s", "loadRules", formatJsonProblem(configPath.string(), problem).c_str());
    }
    if (!file.problems.empty()) {
        Syslog::error("%s: rules in use: %zu, file: %s", "loadRules", file.rules.size(), configPath.c_str());
    }
    rules = std::move(file.rules);
}

std::string RuleLookup::windowTypeName(const std::list<uint32_t>& types) const {
    for (const auto& [atom, name] : typeNames) {
        if (std::find(types.begin(), types.end(), atom) != types.end()) {
            return name;
        }
    }
    return {};
}

RuleLookup::PendingFacts RuleLookup::requestFacts(uint32_t win) const {
    if (rules.empty()) {
        return {};
    }
    return {PendingFacts::Reads{connector.requestProperty(win, netWmWindowType, XCB_ATOM_ATOM),
                                connector.requestProperty(win, wmWindowRole, XCB_ATOM_STRING),
                                connector.requestProperty(win, wmClass, XCB_ATOM_STRING)}};
}

const JsonWindow* RuleLookup::findJsonWindow(uint32_t win, PendingFacts facts) const {
    Syslog::debug("%s: win: %08x", "findJsonWindow", win);
    if (!facts.reads) {
        return nullptr;
    }
    auto& [types, role, classes] = *facts.reads;
    WindowFacts read;
    read.typeName =
        windowTypeName(Xcb::propertyWords(connector.collectProperty(std::move(types), "findJsonWindow")));
    read.role = connector.collectProperty(std::move(role), "findJsonWindow");
    const std::list<std::string> names =
        Xcb::splitPropertyStrings(connector.collectProperty(std::move(classes), "findJsonWindow"));
    if (names.empty()) {
        return nullptr;
    }
    read.instanceName = names.front();
    return matchWindowRule(rules, read);
}

}  // namespace Velk
