// Reading and checking the rules file against the keys a rule may hold.
#include "velk_kiosk/rules_file.h"

#include <algorithm>
#include <ostream>

#include "velk_kiosk/rule_keys.h"

namespace Velk {

namespace {

// The getters ignore a key they do not know: such a rule still works as
// written, less the mistyped key.
bool usable(const std::vector<JsonProblem>& problems) {
    return std::all_of(problems.begin(), problems.end(), [](const JsonProblem& problem) {
        return problem.kind == JsonProblemKind::UnknownKey;
    });
}

}  // namespace

RulesFile readRulesFile(const std::filesystem::path& path) {
    const JsonDocument document = JsonDocument::fromFile(path);
    RulesFile file{{}, document.problems()};
    const Json::Value& root = document.root();
    if (!file.problems.empty()) {
        return file;
    }
    if (!root.isArray()) {
        file.problems.push_back(document.problemAt(root, JsonProblemKind::WrongType,
                                                   "expected an array of rules, found an object"));
        return file;
    }
    for (const Json::Value& element : root) {
        const std::vector<JsonProblem> problems = document.checkObject(element, ruleKeys());
        file.problems.insert(file.problems.end(), problems.begin(), problems.end());
        if (usable(problems)) {
            element >> file.rules.emplace_back();
        }
    }
    return file;
}

int checkRulesFile(const std::filesystem::path& path, std::ostream& out, std::ostream& err) {
    const RulesFile file = readRulesFile(path);
    for (const JsonProblem& problem : file.problems) {
        err << formatJsonProblem(path.string(), problem) << '\n';
    }
    if (!file.problems.empty()) {
        return 1;
    }
    out << path.string() << ": OK, " << file.rules.size() << (file.rules.size() == 1 ? " rule" : " rules")
        << '\n';
    return 0;
}

}  // namespace Velk
