// The calls the proxy's worker threads (the claims of allowances and the
// listen job) make to the manager, on a bus connection of their own: while
// one of them waits for a manager that does not answer, the main loop still
// reads and dispatches the manager's signals on the proxy's connection,
// which a call blocked on the same connection would hold up. Every call
// gives up after the time-out; a failure raises DBus::Error.
#pragma once

#include <dbus-c++/dbus.h>

#include <cstdint>
#include <string>

namespace Velk {

class ManagerCalls {
public:
    ManagerCalls(std::string busName, std::string objectPath, int timeoutMs);

    std::string velkSessionInfoJson(uint32_t sessionId);
    void proxyListenStarted(uint32_t sessionId, bool listening);
    void proxyClientConnected(uint32_t sessionId, const std::string& remoteAddr);
    void proxySessionConnected(uint32_t sessionId, uint32_t transportPid, const std::string& remoteAddr);

private:
    DBus::CallMessage method(const char* name) const;
    DBus::Message send(DBus::CallMessage& call);

    std::string busName;
    std::string objectPath;
    int timeoutMs;
    DBus::Connection bus;
};

}  // namespace Velk
