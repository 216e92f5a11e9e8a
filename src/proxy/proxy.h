// Process-wide state of velk_proxy shared by its entry and its connection:
// the run flag, the D-Bus dispatcher and the stop signal handler.
#pragma once

#include <dbus-c++/dbus.h>

#include <atomic>

#include "utils/wake_event.h"

namespace Velk {

// Clearing it is the one way to stop the whole proxy; every loop polls it.
// The entry raises it before it registers the stop signals.
extern std::atomic<bool> proxyRunning;

// A D-Bus main loop that runs while proxyRunning is raised. The library's
// own loop forgets a leave() that comes before its enter(): a stop in that
// gap (a signal while the periodic task starts) would keep it running for
// ever. Leave it only after proxyRunning is cleared; it then wakes and ends.
class ProxyDispatcher : public DBus::BusDispatcher {
public:
    void enter() override;
};

// The main loop of the main thread; the periodic task leaves it.
extern ProxyDispatcher proxyDispatcher;

// Raised when proxyRunning is cleared, so that a thread waiting in poll
// sees the stop at once.
extern Utils::WakeEvent proxyStopEvent;

// Raised by SIGHUP (reload the configuration now) and SIGUSR1 (log one line
// per running session); the periodic task waits on them.
extern Utils::WakeEvent proxyReloadEvent;
extern Utils::WakeEvent proxyReportEvent;

// Why the proxy stops: the first reason given wins.
enum class StopReason : int { None, Signal, ManagerStopped, BusLost, Destroyed };
extern std::atomic<int> proxyStopReason;
const char* stopReasonText(StopReason reason);

// Clears proxyRunning and raises proxyStopEvent; safe in a signal handler.
void stopProxy(StopReason reason);

}  // namespace Velk

// Stops the proxy (Velk::stopProxy); safe in a signal handler and nothing more.
void signalHandler(int sig);
// Raise Velk::proxyReloadEvent and Velk::proxyReportEvent; safe in a signal handler.
void reloadSignalHandler(int sig);
void reportSignalHandler(int sig);
