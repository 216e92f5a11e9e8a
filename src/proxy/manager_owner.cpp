// See manager_owner.h. The bus's own signals come from "org.freedesktop.DBus";
// the match is narrowed to the manager's name so that the proxy is not woken
// by every client that joins or leaves the system bus.
#include "proxy/manager_owner.h"

#include "logger.h"

namespace Velk {

namespace {

constexpr const char* busName = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";

// The rule the object proxy adds for every signal of the bus interface.
std::string broadRule() {
    return std::string("type='signal',interface='") + busName + "',path='" + busPath + "'";
}

}  // namespace

ManagerOwner::ManagerOwner(DBus::Connection& conn, const std::string& managerName)
    : DBus::InterfaceProxy(busName),
      DBus::ObjectProxy(conn, busPath, busName),
      name(managerName),
      matchRule(std::string("type='signal',sender='") + busName + "',interface='" + busName +
                "',member='NameOwnerChanged',path='" + busPath + "',arg0='" + managerName + "'") {
    connect_signal(ManagerOwner, NameOwnerChanged, onNameOwnerChanged);
    this->conn().remove_match(broadRule().c_str(), false);
    this->conn().add_match(matchRule.c_str());
    // Asked after the subscription: a change that races the answer arrives
    // later as a signal and wins, as it should.
    owner = askNameOwner();
    Syslog::info("%s: manager: `%s', owner: `%s'", "ManagerOwner", name.c_str(), owner.c_str());
}

ManagerOwner::~ManagerOwner() {
    conn().remove_match(matchRule.c_str(), false);
}

std::string ManagerOwner::askNameOwner() {
    DBus::CallMessage call;
    call.member("GetNameOwner");
    DBus::MessageIter writer = call.writer();
    writer << name;
    try {
        const DBus::Message reply = invoke_method(call);
        DBus::MessageIter reader = reply.reader();
        std::string unique;
        reader >> unique;
        return unique;
    } catch (const DBus::Error& err) {
        if (std::string(err.name()) == "org.freedesktop.DBus.Error.NameHasNoOwner") {
            return {};
        }
        throw;
    }
}

void ManagerOwner::onNameOwnerChanged(const DBus::SignalMessage& signal) {
    if (!signal.sender() || std::string(signal.sender()) != busName) {
        return;
    }
    DBus::MessageIter reader = signal.reader();
    std::string changed;
    std::string previous;
    std::string current;
    reader >> changed >> previous >> current;
    if (changed != name) {
        return;
    }
    owner = current;
    Syslog::notice("%s: manager: `%s', owner: `%s'", "onNameOwnerChanged", name.c_str(), owner.c_str());
}

bool ManagerOwner::sentByManager(const DBus::Message& message) const {
    const char* sender = message.sender();
    return sender != nullptr && !owner.empty() && owner == sender;
}

}  // namespace Velk
