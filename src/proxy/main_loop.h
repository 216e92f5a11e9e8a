// What the proxy's main loop (the D-Bus dispatcher of the main thread)
// watches beside the bus: descriptors that wake it (a stop, a reload, an
// ended job, the configuration's directory, ...) and repeating timers. The
// loop sleeps until one of them, or the bus, has something.
#pragma once

#include <dbus-c++/dbus.h>

#include <chrono>
#include <functional>

namespace Velk {

// Calls onReady on the loop's thread while the descriptor is readable. Made
// and destroyed only while the loop does not run a turn.
class LoopWatch {
public:
    LoopWatch(DBus::DefaultMainLoop& loop, int fd, std::function<void()> onReady);
    LoopWatch(const LoopWatch&) = delete;
    LoopWatch& operator=(const LoopWatch&) = delete;

private:
    void ready(DBus::DefaultWatch& watch);

    std::function<void()> callback;
    DBus::DefaultWatch watch;
};

// Calls onExpired on the loop's thread every interval (the loop wakes at
// least every 10 s, so an interval is kept to within that).
class LoopTimer {
public:
    LoopTimer(DBus::DefaultMainLoop& loop, std::chrono::milliseconds interval,
              std::function<void()> onExpired);
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

private:
    void expired(DBus::DefaultTimeout& timeout);

    std::function<void()> callback;
    DBus::DefaultTimeout timeout;
};

}  // namespace Velk
