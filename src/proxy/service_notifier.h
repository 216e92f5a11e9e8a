// What the service manager is told about the proxy (sd_notify): ready once
// the session manager answered, a status line kept current, reloads, the
// stop, and the watchdog's keep-alive when the unit asks for one. Without
// NOTIFY_SOCKET every call does nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace Velk {

class ServiceNotifier {
public:
    ServiceNotifier();

    void ready() const;
    void reloading() const;
    void stopping() const;
    // Sent only when it differs from the last status sent.
    void status(const std::string& text);
    void keepAlive() const;
    // How often to send keep-alives: a third of the unit's watchdog time
    // (WATCHDOG_USEC), at least a second; nothing when the unit asks none.
    std::optional<std::chrono::milliseconds> keepAliveInterval() const;

private:
    uint64_t watchdogUsec = 0;
    std::string lastStatus;
};

}  // namespace Velk
