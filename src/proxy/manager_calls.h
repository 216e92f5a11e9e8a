// The calls the proxy's worker threads (the claims of allowances and the
// listen job) make to the manager, on a bus connection of their own: while
// one of them waits for a manager that does not answer, the main loop still
// reads and dispatches the manager's signals on the proxy's connection,
// which a call blocked on the same connection would hold up. Every call
// gives up after the time-out; a failure raises ManagerCallError.
//
// Plain libdbus rather than the C++ binding: the binding keeps a reference
// of its own to every connection it wraps, so a private connection of it
// would never be freed.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace Velk {

// A D-Bus error: its name (such as org.freedesktop.DBus.Error.AccessDenied)
// says what happened, what() the bus's or the manager's message.
class ManagerCallError : public std::runtime_error {
public:
    ManagerCallError(std::string errorName, const std::string& message);
    const std::string& name() const { return errorName; }

private:
    std::string errorName;
};

class ManagerCalls {
public:
    ManagerCalls(std::string busName, std::string objectPath, int timeoutMs);

    std::string velkSessionInfoJson(uint32_t sessionId);
    void proxyListenStarted(uint32_t sessionId, bool listening);
    void proxyClientConnected(uint32_t sessionId, const std::string& remoteAddr);
    void proxySessionConnected(uint32_t sessionId, uint32_t transportPid, const std::string& remoteAddr);

private:
    struct CloseConnection {
        void operator()(DBusConnection* connection) const;
    };
    struct UnrefMessage {
        void operator()(DBusMessage* message) const;
    };
    using Message = std::unique_ptr<DBusMessage, UnrefMessage>;

    Message method(const char* name) const;
    Message send(const Message& call);

    std::string busName;
    std::string objectPath;
    int timeoutMs;
    std::unique_ptr<DBusConnection, CloseConnection> bus;
};

}  // namespace Velk
