// A private bus that behaves like the system bus, started by a test and
// stopped by its pid, so that no test ever touches a real system or session
// bus. Point a program at it with DBUS_SYSTEM_BUS_ADDRESS.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "test_support.h"

namespace VelkTest {

class PrivateBus {
public:
    // Throws std::runtime_error when the daemon does not announce its address.
    PrivateBus();
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
