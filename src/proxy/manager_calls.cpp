// See manager_calls.h.
#include "proxy/manager_calls.h"

#include <cstdlib>
#include <new>

namespace Velk {

namespace {

constexpr const char* managerInterface = "ru.tavio.velk";

// Frees what a failed libdbus call filled in, whichever way this scope ends.
class BusError {
public:
    BusError() { dbus_error_init(&error); }
    ~BusError() { dbus_error_free(&error); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;

    DBusError* get() { return &error; }
    [[noreturn]] void raise() const {
        throw ManagerCallError(error.name ? error.name : DBUS_ERROR_FAILED,
                               error.message ? error.message : "no message");
    }

private:
    DBusError error;
};

// The system bus as libdbus finds it, but read anew: libdbus keeps the
// address it read first for the process's life.
DBusConnection* openSystemBus() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    BusError error;
    DBusConnection* bus = dbus_connection_open_private(
        address && *address ? address : "unix:path=/run/dbus/system_bus_socket", error.get());
    if (bus == nullptr) {
        error.raise();
    }
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    if (dbus_bus_register(bus, error.get()) == FALSE) {
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
        error.raise();
    }
    return bus;
}

// Arguments are few and small: only a lack of memory fails.
template <typename... Arguments>
void append(DBusMessage* call, Arguments... arguments) {
    if (dbus_message_append_args(call, arguments..., DBUS_TYPE_INVALID) == FALSE) {
        throw std::bad_alloc();
    }
}

}  // namespace

ManagerCallError::ManagerCallError(std::string name, const std::string& message)
    : std::runtime_error(message), errorName(std::move(name)) {}

void ManagerCalls::CloseConnection::operator()(DBusConnection* connection) const {
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

void ManagerCalls::UnrefMessage::operator()(DBusMessage* message) const {
    dbus_message_unref(message);
}

ManagerCalls::ManagerCalls(std::string name, std::string path, int timeout)
    : busName(std::move(name)), objectPath(std::move(path)), timeoutMs(timeout), bus(openSystemBus()) {}

ManagerCalls::Message ManagerCalls::method(const char* name) const {
    Message call(dbus_message_new_method_call(busName.c_str(), objectPath.c_str(), managerInterface, name));
    if (!call) {
        throw std::bad_alloc();
    }
    return call;
}

ManagerCalls::Message ManagerCalls::send(const Message& call) {
    BusError error;
    Message reply(dbus_connection_send_with_reply_and_block(bus.get(), call.get(), timeoutMs, error.get()));
    if (!reply) {
        error.raise();
    }
    return reply;
}

std::string ManagerCalls::velkSessionInfoJson(uint32_t sessionId) {
    const Message call = method("velkSessionInfoJson");
    append(call.get(), DBUS_TYPE_UINT32, &sessionId);
    const Message reply = send(call);
    BusError error;
    const char* json = nullptr;
    if (dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_STRING, &json, DBUS_TYPE_INVALID) ==
        FALSE) {
        error.raise();
    }
    return json;
}

void ManagerCalls::proxyListenStarted(uint32_t sessionId, bool listening) {
    const Message call = method("proxyListenStarted");
    const dbus_bool_t value = listening ? TRUE : FALSE;
    append(call.get(), DBUS_TYPE_UINT32, &sessionId, DBUS_TYPE_BOOLEAN, &value);
    send(call);
}

void ManagerCalls::proxyClientConnected(uint32_t sessionId, const std::string& remoteAddr) {
    const Message call = method("proxyClientConnected");
    const char* address = remoteAddr.c_str();
    append(call.get(), DBUS_TYPE_UINT32, &sessionId, DBUS_TYPE_STRING, &address);
    send(call);
}

void ManagerCalls::proxySessionConnected(uint32_t sessionId, uint32_t transportPid,
                                         const std::string& remoteAddr) {
    const Message call = method("proxySessionConnected");
    const char* address = remoteAddr.c_str();
    append(call.get(), DBUS_TYPE_UINT32, &sessionId, DBUS_TYPE_UINT32, &transportPid, DBUS_TYPE_STRING,
           &address);
    send(call);
}

}  // namespace Velk
