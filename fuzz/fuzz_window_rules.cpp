// The kiosk's rules list from any JSON value: valueToList<JsonWindow> and
// operator>> on single elements, then the matcher on facts from the input.
// jsoncpp's Json::Exception is the documented answer to a value of the wrong
// type; a rule that is picked must fit the facts.
#include <memory>

#include "config.h"
#include "fuzz_support.h"
#include "velk_kiosk/window_rules.h"

using VelkFuzz::require;

namespace {

std::unique_ptr<Json::CharReader> strictReader() {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

bool fits(const Velk::JsonWindow& rule, const Velk::WindowFacts& facts) {
    const bool typeFits = rule.windowType.empty() || rule.windowType == facts.typeName;
    const bool roleFits = rule.windowRole.empty() || rule.windowRole == facts.role;
    const size_t star = rule.wmClass.find('*');
    const bool classFits =
        rule.wmClass.empty() || rule.wmClass == facts.instanceName ||
        (star != std::string::npos && facts.instanceName.compare(0, star, rule.wmClass, 0, star) == 0);
    const size_t nameStar = rule.wmName.find('*');
    const bool nameFits =
        rule.wmName.empty() || rule.wmName == facts.name ||
        (nameStar != std::string::npos && facts.name.compare(0, nameStar, rule.wmName, 0, nameStar) == 0);
    return typeFits && roleFits && classFits && nameFits;
}

// Each rule's own fields as the window's facts: the first rule always fits
// itself, so a match is certain and must be one that fits.
void matchRules(const std::list<Velk::JsonWindow>& rules) {
    for (const auto& rule : rules) {
        const Velk::WindowFacts facts{rule.windowType, rule.windowRole, rule.wmClass, true, rule.wmName};
        const Velk::JsonWindow* found = Velk::matchWindowRule(rules, facts);
        require(found != nullptr, "a rule's own facts find a rule");
        require(fits(*found, facts), "the rule found fits the facts");
    }
}

void readElements(const Json::Value& root) {
    for (Json::ArrayIndex index = 0; root.isArray() && index < root.size(); ++index) {
        try {
            Velk::JsonWindow rule;
            root[index] >> rule;
        } catch (const Json::Exception&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VelkFuzz::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto reader = strictReader();
    const auto* text = reinterpret_cast<const char*>(data);
    Json::Value root;
    std::string errors;
    try {
        if (!reader->parse(text, text + size, &root, &errors)) {
            return 0;
        }
    } catch (const Json::Exception&) {
        return 0;
    }

    readElements(root);
    try {
        const auto rules = Velk::valueToList<Velk::JsonWindow>(root);
        require(root.isArray() ? rules.size() == root.size() : rules.empty(), "one rule per element");
        matchRules(rules);
    } catch (const Json::Exception&) {
    }
    return 0;
}
