// The rules in use and the facts of a window read for them; see rule_lookup.h.
#include "velk_kiosk/rule_lookup.h"

#include <algorithm>
#include <iterator>
#include <system_error>
#include <vector>

#include "logger.h"
#include "xcb/parsers.h"

namespace Velk {

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
    logProblems(file, "loadRules");
    if (!file.problems.empty()) {
        Syslog::error("%s: rules in use: %zu, file: %s", "loadRules", file.rules.size(), configPath.c_str());
    }
    rules = std::move(file.rules);
}

bool RuleLookup::reloadRules() {
    RulesFile file = readRulesFile(configPath);
    logProblems(file, "reloadRules");
    if (!file.problems.empty()) {
        Syslog::error("%s: rules in force kept: %zu, file: %s", "reloadRules", rules.size(),
                      configPath.c_str());
        return false;
    }
    rules = std::move(file.rules);
    return true;
}

void RuleLookup::logProblems(const RulesFile& file, const char* caller) const {
    for (const JsonProblem& problem : file.problems) {
        Syslog::error("%s: %s", caller, formatJsonProblem(configPath.string(), problem).c_str());
    }
}

std::string RuleLookup::windowTypeName(const std::list<uint32_t>& types) const {
    for (const auto& [atom, name] : typeNames) {
        if (std::find(types.begin(), types.end(), atom) != types.end()) {
            return name;
        }
    }
    return {};
}

RuleLookup::PendingFacts RuleLookup::requestFacts(uint32_t win, bool typesWanted) const {
    PendingFacts facts;
    if (typesWanted || !rules.empty()) {
        facts.typesRead.emplace(connector.requestProperty(win, netWmWindowType, XCB_ATOM_ATOM));
    }
    if (!rules.empty()) {
        facts.reads.emplace(PendingFacts::Reads{connector.requestProperty(win, wmWindowRole, XCB_ATOM_STRING),
                                                connector.requestProperty(win, wmClass, XCB_ATOM_STRING)});
    }
    return facts;
}

const std::list<uint32_t>& RuleLookup::windowTypes(PendingFacts& facts) const {
    if (!facts.types) {
        facts.types =
            facts.typesRead
                ? Xcb::propertyWords(connector.collectProperty(std::move(*facts.typesRead), "findJsonWindow"))
                : std::list<uint32_t>{};
        facts.typesRead.reset();
    }
    return *facts.types;
}

const JsonWindow* RuleLookup::findJsonWindow(uint32_t win, PendingFacts facts) const {
    Syslog::debug("%s: win: %08x", "findJsonWindow", win);
    if (!facts.reads) {
        return nullptr;
    }
    WindowFacts read;
    read.typeName = windowTypeName(windowTypes(facts));
    read.role = connector.collectProperty(std::move(facts.reads->role), "findJsonWindow");
    const std::list<std::string> names = Xcb::splitPropertyStrings(
        connector.collectProperty(std::move(facts.reads->classes), "findJsonWindow"));
    if (names.empty()) {
        return nullptr;
    }
    read.instanceName = names.front();
    return matchWindowRule(rules, read);
}

}  // namespace Velk
