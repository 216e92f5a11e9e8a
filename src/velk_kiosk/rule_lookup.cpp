// The rules in use and the facts of a window read for them; see rule_lookup.h.
#include "velk_kiosk/rule_lookup.h"

#include <algorithm>
#include <iterator>
#include <system_error>
#include <vector>

#include "logger.h"
#include "velk_kiosk/rule_keys.h"
#include "xcb/parsers.h"

namespace Velk {

RuleLookup::RuleLookup(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms,
                       std::filesystem::path rulesPath)
    : connector(xConnector), atoms(kioskAtoms), configPath(std::move(rulesPath)) {
    loadRules();
}

void RuleLookup::loadRules() {
    std::error_code ec;
    if (!std::filesystem::exists(configPath, ec)) {
        use({});
        return;
    }
    RulesFile file = readRulesFile(configPath);
    logProblems(file, "loadRules");
    if (!file.problems.empty()) {
        Syslog::error("%s: rules in use: %zu, file: %s", "loadRules", file.rules.size(), configPath.c_str());
    }
    use(std::move(file.rules));
}

bool RuleLookup::reloadRules() {
    RulesFile file = readRulesFile(configPath);
    logProblems(file, "reloadRules");
    if (!file.problems.empty()) {
        Syslog::error("%s: rules in force kept: %zu, file: %s", "reloadRules", rules.size(),
                      configPath.c_str());
        return false;
    }
    use(std::move(file.rules));
    return true;
}

void RuleLookup::use(std::list<JsonWindow> loaded) {
    rules = std::move(loaded);
    namesWindows =
        std::any_of(rules.begin(), rules.end(), [](const JsonWindow& rule) { return !rule.wmName.empty(); });
}

void RuleLookup::logProblems(const RulesFile& file, const char* caller) const {
    for (const JsonProblem& problem : file.problems) {
        Syslog::error("%s: %s", caller, formatJsonProblem(configPath.string(), problem).c_str());
    }
}

RuleLookup::PendingFacts RuleLookup::requestFacts(uint32_t win, bool typesWanted) const {
    PendingFacts facts;
    if (typesWanted || !rules.empty()) {
        facts.typesRead.emplace(connector.requestProperty(win, atoms.netWmWindowType, XCB_ATOM_ATOM));
    }
    if (rules.empty()) {
        return facts;
    }
    const bool roleNamed = std::any_of(rules.begin(), rules.end(),
                                       [](const JsonWindow& rule) { return !rule.windowRole.empty(); });
    facts.reads.emplace(PendingFacts::Reads{
        roleNamed ? std::optional(connector.requestProperty(win, atoms.wmWindowRole, XCB_ATOM_STRING))
                  : std::nullopt,
        connector.requestProperty(win, atoms.wmClass, XCB_ATOM_STRING), std::nullopt});
    if (namesWindows) {
        facts.reads->name.emplace(connector.requestProperty(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING));
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
    read.typeName = std::string(windowTypeName(windowTypeOf(windowTypes(facts), atoms)));
    if (facts.reads->role) {
        read.role = connector.collectProperty(std::move(*facts.reads->role), "findJsonWindow");
    }
    const std::list<std::string> names = Xcb::splitPropertyStrings(
        connector.collectProperty(std::move(facts.reads->classes), "findJsonWindow"));
    read.hasClass = !names.empty();
    read.instanceName = read.hasClass ? names.front() : std::string();
    if (facts.reads->name) {
        read.name = connector.collectProperty(std::move(*facts.reads->name), "findJsonWindow");
    }
    return matchWindowRule(rules, read);
}

}  // namespace Velk
