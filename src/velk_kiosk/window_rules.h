// The kiosk's window rules: one record per element of the rules file's array,
// the matcher that picks the first rule that applies to a window from the
// facts read off it (type name, role, WM_CLASS instance name), and the lookup
// that reads those facts off a window and holds the rules in use.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <filesystem>
#include <list>
#include <optional>
#include <string>

#include "xcb/xcb.h"

namespace Velk {

// One rule.  Empty match fields match any window; the flags default to true,
// so a rule that names only a class gives full screen and a bordered frame.
struct JsonWindow {
    std::string windowType;  // "wm:window:type": "dialog", "utility", ... "normal"
    std::string wmClass;     // "wm:class": instance name, "*", or "prefix*"
    std::string windowRole;  // "wm:window:role"
    bool frame = true;       // "frame"
    bool fullscreen = true;  // "fullscreen"
};

// Fills every field from the object with its default for absent keys.  A value
// of the wrong JSON type raises jsoncpp's error (Json::LogicError).
const Json::Value& operator>>(const Json::Value& value, JsonWindow& rule);

// What the matcher compares, as read from one window.
struct WindowFacts {
    std::string typeName;      // first known _NET_WM_WINDOW_TYPE name, or empty
    std::string role;          // WM_WINDOW_ROLE
    std::string instanceName;  // first string of WM_CLASS
};

// The first rule whose type and role fit (empty fits anything) and whose class
// is empty, "*", the instance name itself, or a prefix before a "*" that the
// instance name starts with.  Null when none fits.  Case-sensitive bytes; logs
// "found class" or "found token" at debug level for the match.  The caller
// decides that windows without WM_CLASS get no rule at all.
const JsonWindow* matchWindowRule(const std::list<JsonWindow>& rules, const WindowFacts& facts);

// Window to facts to rule.  The facts are read anew on every lookup, their
// three reads sent together; nothing is cached.
class RuleLookup {
public:
    // Interns the atoms the facts need and loads the rules.
    RuleLookup(const Xcb::Connector& xConnector, std::filesystem::path rulesPath);

    // At start and on SIGHUP: the rules for every window mapped afterwards.
    // A broken file is logged with every problem and leaves the rules that
    // can be used, possibly none; a missing file leaves none.
    void loadRules();
    size_t ruleCount() const { return rules.size(); }
    const std::filesystem::path& path() const { return configPath; }

    // The reads of one lookup, sent; none when there are no rules.
    struct PendingFacts {
        struct Reads {
            Xcb::PendingProperty types;
            Xcb::PendingProperty role;
            Xcb::PendingProperty classes;
        };
        std::optional<Reads> reads;
    };
    PendingFacts requestFacts(uint32_t win) const;
    // The first rule that applies to the window, or null (always null for a
    // window without WM_CLASS).
    const JsonWindow* findJsonWindow(uint32_t win, PendingFacts facts) const;
    const JsonWindow* findJsonWindow(uint32_t win) const { return findJsonWindow(win, requestFacts(win)); }

private:
    std::string windowTypeName(const std::list<uint32_t>& types) const;

    const Xcb::Connector& connector;
    std::filesystem::path configPath;
    std::list<JsonWindow> rules;
    xcb_atom_t wmClass = 0;
    xcb_atom_t netWmWindowType = 0;
    xcb_atom_t wmWindowRole = 0;
    // The type names a rule can ask for, in the order in which they win.
    std::list<std::pair<xcb_atom_t, const char*>> typeNames;
};

}  // namespace Velk
