// The rule lookup of the window manager: the rules in use, loaded from the
// rules file at start and on SIGHUP, and the way from a window to its rule:
// the window's facts read off the server, then the matcher.
#pragma once

#include <cstdint>
#include <filesystem>
#include <list>
#include <optional>
#include <string>
#include <utility>

#include "velk_kiosk/kiosk_atoms.h"
#include "velk_kiosk/rules_file.h"
#include "velk_kiosk/window_rules.h"
#include "xcb/xcb.h"

namespace Velk {

// Window to facts to rule.  The facts are read anew on every lookup, their
// three reads sent together; nothing is cached.
class RuleLookup {
public:
    // Loads the rules.
    RuleLookup(const Xcb::Connector& xConnector, const KioskAtoms& kioskAtoms,
               std::filesystem::path rulesPath);

    // At start: the rules for every window mapped afterwards.  A broken file
    // is logged with every problem and leaves the rules that can be used,
    // possibly none; a missing file leaves none.
    void loadRules();
    // On SIGHUP: only a file without any problem (the --check-rules verdict)
    // replaces the rules in force; otherwise every problem is logged and one
    // line says that the rules in force are kept.  True when replaced.
    bool reloadRules();
    size_t ruleCount() const { return rules.size(); }
    const std::filesystem::path& path() const { return configPath; }

    // The reads of one lookup, sent: the window's class only when there are
    // rules, its role only when a rule names one, its types also when the
    // caller needs them itself.
    struct PendingFacts {
        struct Reads {
            std::optional<Xcb::PendingProperty> role;
            Xcb::PendingProperty classes;
            // Only when a rule names a WM_NAME.
            std::optional<Xcb::PendingProperty> name;
        };
        std::optional<Xcb::PendingProperty> typesRead;
        std::optional<std::list<uint32_t>> types;
        std::optional<Reads> reads;
    };
    PendingFacts requestFacts(uint32_t win, bool typesWanted = false) const;
    // The window's _NET_WM_WINDOW_TYPE atoms (none when they were not read),
    // collected once and kept in the facts for the lookup.
    const std::list<uint32_t>& windowTypes(PendingFacts& facts) const;
    // The first rule that applies to the window, or null (for a window
    // without WM_CLASS, a rule with a "wm:name" only).
    const JsonWindow* findJsonWindow(uint32_t win, PendingFacts facts) const;
    const JsonWindow* findJsonWindow(uint32_t win) const { return findJsonWindow(win, requestFacts(win)); }

private:
    void logProblems(const RulesFile& file, const char* caller) const;
    void use(std::list<JsonWindow> loaded);

    const Xcb::Connector& connector;
    const KioskAtoms& atoms;
    std::filesystem::path configPath;
    std::list<JsonWindow> rules;
    // Some rule has a "wm:name": the lookups read WM_NAME too.
    bool namesWindows = false;
};

}  // namespace Velk
