// Who the manager is right now: the unique bus name that owns the manager's
// well-known name, learned at start and followed through the bus's
// NameOwnerChanged, so that only the manager's own signals are obeyed and a
// restarted manager is recognised at once.
#pragma once

#include <string>

#include <dbus-c++/dbus.h>

namespace Velk {

class ManagerOwner : public DBus::InterfaceProxy, public DBus::ObjectProxy {
public:
    // Throws DBus::Error when the bus does not answer.
    ManagerOwner(DBus::Connection& conn, const std::string& managerName);
    ~ManagerOwner() override;

    ManagerOwner(const ManagerOwner&) = delete;
    ManagerOwner& operator=(const ManagerOwner&) = delete;

    // Empty while nobody owns the name. Read and written on the thread that
    // dispatches the bus, like every signal handler.
    const std::string& uniqueName() const { return owner; }
    // True when the message comes from the current owner.
    bool sentByManager(const DBus::Message& message) const;

private:
    void onNameOwnerChanged(const DBus::SignalMessage& signal);
    std::string askNameOwner();

    std::string name;
    std::string matchRule;
    std::string owner;
};

}  // namespace Velk
