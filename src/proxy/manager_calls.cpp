// See manager_calls.h.
#include "proxy/manager_calls.h"

#include <cstdlib>

namespace Velk {

namespace {

constexpr const char* managerInterface = "ru.tavio.velk";

// The system bus as libdbus finds it, but read anew: libdbus keeps the
// address it read first for the process's life.
DBus::Connection systemBus() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    DBus::Connection bus(address && *address ? address : "unix:path=/run/dbus/system_bus_socket");
    bus.register_bus();
    return bus;
}

}  // namespace

ManagerCalls::ManagerCalls(std::string name, std::string path, int timeout)
    : busName(std::move(name)), objectPath(std::move(path)), timeoutMs(timeout), bus(systemBus()) {}

DBus::CallMessage ManagerCalls::method(const char* name) const {
    return DBus::CallMessage(busName.c_str(), objectPath.c_str(), managerInterface, name);
}

DBus::Message ManagerCalls::send(DBus::CallMessage& call) {
    return bus.send_blocking(call, timeoutMs);
}

std::string ManagerCalls::velkSessionInfoJson(uint32_t sessionId) {
    DBus::CallMessage call = method("velkSessionInfoJson");
    DBus::MessageIter arguments = call.writer();
    arguments << sessionId;
    const DBus::Message reply = send(call);
    DBus::MessageIter answer = reply.reader();
    std::string json;
    answer >> json;
    return json;
}

void ManagerCalls::proxyListenStarted(uint32_t sessionId, bool listening) {
    DBus::CallMessage call = method("proxyListenStarted");
    DBus::MessageIter arguments = call.writer();
    arguments << sessionId << listening;
    send(call);
}

void ManagerCalls::proxyClientConnected(uint32_t sessionId, const std::string& remoteAddr) {
    DBus::CallMessage call = method("proxyClientConnected");
    DBus::MessageIter arguments = call.writer();
    arguments << sessionId << remoteAddr;
    send(call);
}

void ManagerCalls::proxySessionConnected(uint32_t sessionId, uint32_t transportPid,
                                         const std::string& remoteAddr) {
    DBus::CallMessage call = method("proxySessionConnected");
    DBus::MessageIter arguments = call.writer();
    arguments << sessionId << transportPid << remoteAddr;
    send(call);
}

}  // namespace Velk
