// Process-wide state of velk_proxy shared by its entry and its connection:
// the run flag, the D-Bus dispatcher and the stop signal handler.
#pragma once

#include <dbus-c++/dbus.h>

#include <atomic>
#include <functional>

#include "utils/wake_event.h"

namespace Velk {

// Clearing it is the one way to stop the whole proxy; every loop polls it.
// The entry raises it before it registers the stop signals.
extern std::atomic<bool> proxyRunning;

// A D-Bus main loop that runs while proxyRunning is raised. It watches
// proxyStopEvent beside the bus, so a stop ends it whenever it comes: before
// the loop is entered or while it sleeps.
class ProxyDispatcher : public DBus::BusDispatcher {
public:
    void enter() override;
    // Called after every turn of the loop (the proxy checks its bus there).
    std::function<void()> afterTurn;
};

// The main loop of the main thread.
extern ProxyDispatcher proxyDispatcher;

// Raised when proxyRunning is cleared, so that a thread waiting in poll
// sees the stop at once.
extern Utils::WakeEvent proxyStopEvent;

// Raised by SIGHUP (reload the configuration now) and SIGUSR1 (log one line
// per running session); the main loop waits on them.
extern Utils::WakeEvent proxyReloadEvent;
extern Utils::WakeEvent proxyReportEvent;

// Why the proxy stops: the first reason given wins.
enum class StopReason : int { None, Signal, ManagerStopped, BusLost, Destroyed };
extern std::atomic<int> proxyStopReason;
const char* stopReasonText(StopReason reason);

// Clears proxyRunning and raises proxyStopEvent; safe in a signal handler.
void stopProxy(StopReason reason);
// Raises proxyRunning and takes back the stop event of an earlier run (a
// test's), before any thread waits on it.
void startProxy();

}  // namespace Velk

// Stops the proxy (Velk::stopProxy); safe in a signal handler and nothing more.
void signalHandler(int sig);
// Raise Velk::proxyReloadEvent and Velk::proxyReportEvent; safe in a signal handler.
void reloadSignalHandler(int sig);
void reportSignalHandler(int sig);
