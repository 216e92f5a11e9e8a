// Window properties read into plain values: one type probe, then one read of
// a fixed length; a property that is missing or of another type gives the
// empty value.  Also the window name, the size hints and the top-level list.

#include "xcb/parsers.h"
#include "xcb/xcb.h"

namespace Velk::Xcb {

namespace {

using PropertyReply = GenericReply<xcb_get_property_reply_t>;

// Read lengths in 32-bit units; a longer value is cut there.
constexpr uint32_t stringWords = 8192;
constexpr uint32_t singleWord = 1;
constexpr uint32_t clientListWords = 1024;
constexpr uint32_t sizeHintsWords = 18;

// The value of a property whose type is the expected one; an empty handle
// when it has another type, is missing or holds nothing.
PropertyReply readTyped(const Connector& connector, xcb_window_t win, xcb_atom_t prop, xcb_atom_t type,
                        uint32_t length) {
    if (type == XCB_ATOM_NONE || connector.getPropertyType(win, prop) != type) {
        return {};
    }
    auto reply = connector.getPropertyAnyType(win, prop, 0, length);
    if (!reply || !xcb_get_property_value(reply.get()) || xcb_get_property_value_length(reply.get()) <= 0) {
        return {};
    }
    return reply;
}

std::string_view valueBytes(const xcb_get_property_reply_t& reply) {
    return {static_cast<const char*>(xcb_get_property_value(&reply)),
            static_cast<size_t>(xcb_get_property_value_length(&reply))};
}

uint32_t firstWord(const Connector& connector, xcb_window_t win, xcb_atom_t prop, xcb_atom_t type) {
    const auto reply = readTyped(connector, win, prop, type, singleWord);
    if (!reply) {
        return 0;
    }
    const auto words = propertyWords(valueBytes(*reply));
    return words.empty() ? 0 : words.front();
}

}  // namespace

PendingProperty Connector::requestProperty(xcb_window_t win, xcb_atom_t prop, xcb_atom_t type) const {
    return pending(xcb_get_property(conn.get(), 0, win, prop, type, 0, stringWords));
}

std::string Connector::collectProperty(PendingProperty read, std::string_view caller) const {
    const auto [reply, error] = read.reply(xcb_get_property_reply);
    if (error) {
        toSyslogError(error, caller, "xcb_get_property");
    }
    if (!reply || !xcb_get_property_value(reply.get()) || xcb_get_property_value_length(reply.get()) <= 0) {
        return {};
    }
    return std::string(valueBytes(*reply));
}

PropertyReply Connector::getPropertyAnyType(xcb_window_t win, xcb_atom_t prop, uint32_t offset,
                                            uint32_t length) const {
    const auto cookie = xcb_get_property(conn.get(), 0, win, prop, XCB_GET_PROPERTY_TYPE_ANY, offset, length);
    const auto [reply, error] = getReply1(xcb_get_property_reply, conn.get(), cookie);
    if (error) {
        toSyslogError(error, "getPropertyAnyType", "xcb_get_property");
    }
    return reply;
}

xcb_atom_t Connector::getPropertyType(xcb_window_t win, xcb_atom_t prop) const {
    const auto reply = getPropertyAnyType(win, prop, 0, 0);
    return reply ? reply->type : xcb_atom_t{XCB_ATOM_NONE};
}

std::string Connector::getPropertyString(xcb_window_t win, xcb_atom_t prop) const {
    const auto reply = readTyped(*this, win, prop, XCB_ATOM_STRING, stringWords);
    return reply ? std::string(valueBytes(*reply)) : std::string();
}

std::string Connector::getPropertyStringUtf8(xcb_window_t win, xcb_atom_t prop) const {
    const auto reply = readTyped(*this, win, prop, getAtom("UTF8_STRING", true), stringWords);
    return reply ? std::string(valueBytes(*reply)) : std::string();
}

std::list<std::string> Connector::getPropertyStringList(xcb_window_t win, xcb_atom_t prop) const {
    const auto reply = readTyped(*this, win, prop, XCB_ATOM_STRING, stringWords);
    return reply ? splitPropertyStrings(valueBytes(*reply)) : std::list<std::string>();
}

xcb_atom_t Connector::getPropertyAtom(xcb_window_t win, xcb_atom_t prop) const {
    return firstWord(*this, win, prop, XCB_ATOM_ATOM);
}

std::list<xcb_atom_t> Connector::getPropertyAtomList(xcb_window_t win, xcb_atom_t prop) const {
    const auto reply = readTyped(*this, win, prop, XCB_ATOM_ATOM, stringWords);
    return reply ? propertyWords(valueBytes(*reply)) : std::list<xcb_atom_t>();
}

uint32_t Connector::getPropertyCardinal(xcb_window_t win, xcb_atom_t prop) const {
    return firstWord(*this, win, prop, XCB_ATOM_CARDINAL);
}

xcb_window_t Connector::getPropertyWindow(xcb_window_t win, xcb_atom_t prop) const {
    return firstWord(*this, win, prop, XCB_ATOM_WINDOW);
}

std::string Connector::getWindowName(xcb_window_t win) const {
    std::string name = getPropertyString(win, XCB_ATOM_WM_NAME);
    if (!name.empty()) {
        return name;
    }
    return getPropertyStringUtf8(win, getAtom("_NET_WM_NAME", true));
}

bool Connector::getWindowNormalHints(xcb_window_t win, SizeHints* hints) {
    const auto cookie = xcb_get_property(conn.get(), 0, win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS,
                                         0, sizeHintsWords);
    const auto [reply, error] = getReply1(xcb_get_property_reply, conn.get(), cookie);
    if (error) {
        toSyslogError(error, "getWindowNormalHints", "xcb_get_property");
        return false;
    }
    if (!reply) {
        return false;
    }
    if (!hints) {
        return true;
    }
    // One of another type comes with its own type and format but without a
    // value; a missing one has format 0, which carries no items to copy.
    if (reply->type != XCB_ATOM_WM_SIZE_HINTS) {
        return false;
    }
    return copySizeHints(valueBytes(*reply), reply->format, *hints);
}

std::list<xcb_window_t> Connector::getWindows() const {
    const xcb_atom_t clientList = getAtom("_NET_CLIENT_LIST", true);
    if (clientList != XCB_ATOM_NONE && getPropertyType(windowRoot(), clientList) == XCB_ATOM_WINDOW) {
        const auto reply = getPropertyAnyType(windowRoot(), clientList, 0, clientListWords);
        return reply ? propertyWords(valueBytes(*reply)) : std::list<xcb_window_t>();
    }

    const auto [tree, error] =
        getReply1(xcb_query_tree_reply, conn.get(), xcb_query_tree(conn.get(), windowRoot()));
    if (error) {
        toSyslogError(error, "getWindows", "xcb_query_tree");
        return {};
    }
    if (!tree) {
        return {};
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
}

}  // namespace Velk::Xcb
