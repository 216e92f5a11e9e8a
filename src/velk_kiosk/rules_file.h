// The kiosk's rules file read and checked the one way, whether the kiosk
// loads it at start or on SIGHUP, or an operator asks with --check-rules:
// every problem located by line and column, the usable rules kept.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <list>
#include <vector>

#include "config.h"
#include "velk_kiosk/window_rules.h"

namespace Velk {

// Where the kiosk reads its rules.
inline const std::filesystem::path installedRulesPath = "/etc/velk/velk_kiosk.json";

struct RulesFile {
    // The rules that can be used, in file order.  A file that does not parse,
    // or holds no array, has none; a rule with a value of the wrong kind (or
    // a window type that no window has) is left out; an unknown key in a
    // rule is only reported, the rule is kept.
    std::list<JsonWindow> rules;
    // Every problem found, in file order.
    std::vector<JsonProblem> problems;
};

RulesFile readRulesFile(const std::filesystem::path& path);

// --check-rules: "PATH: OK, N rules" on `out` and 0 when the file has no
// problem; else every problem as "PATH:LINE:COLUMN: message" on `err` and 1.
int checkRulesFile(const std::filesystem::path& path, std::ostream& out, std::ostream& err);

}  // namespace Velk
