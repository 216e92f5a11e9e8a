// The rules file's words, each listed once: the keys a rule may hold (their
// kind and default, read into a JsonWindow and checked by --check-rules) and
// the window types (the name a rule gives a type, its atom, the order in
// which a window's types win, and which of them a rule may name).
#pragma once

#include <json/json.h>

#include <cstdint>
#include <list>
#include <string_view>
#include <vector>

#include "config.h"
#include "velk_kiosk/kiosk_atoms.h"
#include "velk_kiosk/window_records.h"
#include "velk_kiosk/window_rules.h"

namespace Velk {

// The window's type: the first of the table's order that its
// _NET_WM_WINDOW_TYPE atoms list, wherever it stands in them; None when
// they list no known type.
WindowType windowTypeOf(const std::list<uint32_t>& atoms, const KioskAtoms& names);
// The name rules give the type, "" for None; also a type rules may not name
// yet, so that no rule with a type matches it.
std::string_view windowTypeName(WindowType type);

// The rule keys, as the checker of the rules file knows them.
const std::vector<JsonKnownKey>& ruleKeys();
// Every field of the rule from the object, a key that is absent with its
// default.  A value of the wrong JSON type raises jsoncpp's error
// (Json::LogicError).
void readRule(const Json::Value& value, JsonWindow& rule);

}  // namespace Velk
