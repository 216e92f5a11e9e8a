// The rule lookup of one window: its type list, role and WM_CLASS are read
// anew on every lookup, the three reads sent together, and handed to the
// matcher.
#include <algorithm>
#include <cstring>
#include <utility>

#include "velk_kiosk/wm_kiosk.h"

namespace Velk {

namespace {

// The longest value read, in 32-bit units: 32768 bytes.
constexpr uint32_t valueWords = 8192;

std::list<std::string> splitAtNul(const std::string& bytes) {
    std::list<std::string> elements;
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = std::min(bytes.find('\0', start), bytes.size());
        elements.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return elements;
}

// 32-bit items in order; a trailing partial item is dropped.
std::list<xcb_atom_t> atomWords(const std::string& bytes) {
    std::list<xcb_atom_t> atoms;
    for (size_t offset = 0; offset + sizeof(xcb_atom_t) <= bytes.size(); offset += sizeof(xcb_atom_t)) {
        xcb_atom_t atom = 0;
        std::memcpy(&atom, bytes.data() + offset, sizeof(atom));
        atoms.push_back(atom);
    }
    return atoms;
}

}  // namespace

std::string WmKiosk::windowTypeName(const std::list<xcb_atom_t>& types) const {
    // The first name of this order that the window lists wins, wherever it
    // stands in the property.
    const std::pair<xcb_atom_t, const char*> known[] = {
        {netWmWindowTypeDialog, "dialog"},
        {netWmWindowTypeUtility, "utility"},
        {netWmWindowTypeSplash, "splash"},
        {netWmWindowTypeMenu, "menu"},
        {netWmWindowTypePopupMenu, "popup_menu"},
        {netWmWindowTypeTooltip, "tooltip"},
        {netWmWindowTypeNotification, "notification"},
        {netWmWindowTypeNormal, "normal"},
    };
    for (const auto& [atom, name] : known) {
        if (std::find(types.begin(), types.end(), atom) != types.end()) {
            return name;
        }
    }
    return {};
}

// Asked for with the expected type, the server answers a value of another
// type with its type alone: one request gives what a type probe and a read
// would.
PendingProperty WmKiosk::requestProperty(uint32_t win, xcb_atom_t prop, xcb_atom_t type) const {
    return {conn.get(), xcb_get_property(conn.get(), 0, win, prop, type, 0, valueWords)};
}

std::string WmKiosk::collectProperty(PendingProperty& read) const {
    const auto [reply, error] = read.reply(xcb_get_property_reply);
    if (error) {
        toSyslogError(error, "getPropertyAnyType", "xcb_get_property");
    }
    if (!reply || !xcb_get_property_value(reply.get()) || xcb_get_property_value_length(reply.get()) <= 0) {
        return {};
    }
    return {static_cast<const char*>(xcb_get_property_value(reply.get())),
            static_cast<size_t>(xcb_get_property_value_length(reply.get()))};
}

std::optional<WmKiosk::RuleReads> WmKiosk::requestRuleFacts(uint32_t win) const {
    if (jsonWindows.empty()) {
        return std::nullopt;
    }
    return RuleReads{requestProperty(win, netWmWindowType, XCB_ATOM_ATOM),
                     requestProperty(win, wmWindowRole, XCB_ATOM_STRING),
                     requestProperty(win, wmClass, XCB_ATOM_STRING)};
}

const JsonWindow* WmKiosk::collectRule(uint32_t win, std::optional<RuleReads> reads) const {
    Syslog::debug("%s: win: %08x", "findJsonWindow", win);
    if (!reads) {
        return nullptr;
    }
    WindowFacts facts;
    facts.typeName = windowTypeName(atomWords(collectProperty(reads->types)));
    facts.role = collectProperty(reads->role);
    const std::list<std::string> classes = splitAtNul(collectProperty(reads->classes));
    if (classes.empty()) {
        return nullptr;
    }
    facts.instanceName = classes.front();
    return matchWindowRule(jsonWindows, facts);
}

const JsonWindow* WmKiosk::findJsonWindow(const uint32_t& win) const {
    return collectRule(win, requestRuleFacts(win));
}

}  // namespace Velk
