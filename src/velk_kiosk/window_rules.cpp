// Rules read from JSON and matched against a window's facts.
#include "velk_kiosk/window_rules.h"

#include <algorithm>

#include "logger.h"
#include "velk_kiosk/rule_keys.h"

namespace Velk {

const Json::Value& operator>>(const Json::Value& value, JsonWindow& rule) {
    readRule(value, rule);
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

// A "wm:name": the name itself, or the name's beginning before the first "*".
bool nameMatches(const std::string& pattern, const std::string& name) {
    const size_t star = pattern.find('*');
    return star == std::string::npos ? pattern == name : name.compare(0, star, pattern, 0, star) == 0;
}

// Without WM_CLASS only the name can tell the window: the rule must name it
// and ask for no class.
bool fitsClassless(const JsonWindow& rule) {
    return !rule.wmName.empty() && (rule.wmClass.empty() || rule.wmClass == "*");
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
        if (!rule.wmName.empty() && !nameMatches(rule.wmName, facts.name)) {
            continue;
        }
        if (!facts.hasClass) {
            if (fitsClassless(rule)) {
                return &rule;
            }
            continue;
        }
        if (classMatches(rule, facts.instanceName)) {
            return &rule;
        }
    }
    return nullptr;
}

}  // namespace Velk
