// A private bus that behaves like the system bus, started by a test and
// stopped by its pid, so that no test ever touches a real system or session
// bus. Point a program at it with DBUS_SYSTEM_BUS_ADDRESS.
//
// By default the bus has the package's policy for the manager's name (only
// root owns "ru.tavio.velk" and sends its signals; every user calls its
// methods). BusPolicy::Stock leaves that file out: any user may then own the
// name and send signals on the manager's interface, as on a system whose
// bus has no rule for them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "test_support.h"

namespace VelkTest {

enum class BusPolicy {
    Package,  // tools/dbus/velk-test-bus.conf: the package's policy file included
    Stock,    // tools/dbus/velk-test-bus-stock.conf: nothing restricts the manager's name
};

class PrivateBus {
public:
    // Throws std::runtime_error when the daemon does not announce its address.
    explicit PrivateBus(BusPolicy policy = BusPolicy::Package);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The address the daemon announced, e.g. "unix:path=/tmp/.../bus,guid=...".
    const std::string& address() const { return busAddress; }
    pid_t pid() const { return daemon.pid(); }
    bool running() { return daemon.running(); }
    // Sends SIGTERM; nullopt when the daemon has not ended within 10 s.
    std::optional<ProcessResult> stop();

private:
    TempDir dir;
    ChildProcess daemon;
    std::string busAddress;
};

}  // namespace VelkTest
