// The kiosk's window rules: one record per element of the rules file's array,
// and the matcher that picks the first rule that applies to a window from the
// facts read off it (type name, role, WM_CLASS instance name).
#pragma once

#include <json/json.h>

#include <list>
#include <string>

namespace Velk {

// One rule, as read from its object with the keys' defaults (rule_keys.h).
// Empty match fields match any window.  "titlebar": false takes every
// decoration away (no title bar, no border): the client alone, edge to edge
// when full screen.
struct JsonWindow {
    std::string windowType;   // "wm:window:type": "dialog", "utility", ... "normal"
    std::string wmClass;      // "wm:class": instance name, "*", or "prefix*"
    std::string windowRole;   // "wm:window:role"
    std::string wmName;       // "wm:name": WM_NAME, or "prefix*"; also for windows without WM_CLASS
    std::string monitor;      // "monitor": name, index or "primary": where full screen is
    bool border = false;      // "frame": the frame draws a border around the client
    bool fullscreen = false;  // "fullscreen"
    bool titlebar = false;    // "titlebar"
};

// Fills every field from the object (readRule).
const Json::Value& operator>>(const Json::Value& value, JsonWindow& rule);

// What the matcher compares, as read from one window.
struct WindowFacts {
    std::string typeName;      // first known _NET_WM_WINDOW_TYPE name, or empty
    std::string role;          // WM_WINDOW_ROLE
    std::string instanceName;  // first string of WM_CLASS
    bool hasClass = true;      // the window has a WM_CLASS
    std::string name;          // WM_NAME, read only when a rule names one
};

// The first rule whose type and role fit (empty fits anything) and whose class
// is empty, "*", the instance name itself, or a prefix before a "*" that the
// instance name starts with, and whose "wm:name", when it has one, is the
// name itself or a prefix before a "*" that the name starts with.  A window
// without WM_CLASS fits only a rule with a "wm:name" and an empty or "*"
// class.  Null when none fits.  Case-sensitive bytes; logs "found class" or
// "found token" at debug level for the match.
const JsonWindow* matchWindowRule(const std::list<JsonWindow>& rules, const WindowFacts& facts);

}  // namespace Velk
