// See main_loop.h.
#include "proxy/main_loop.h"

#include <poll.h>

namespace Velk {

LoopWatch::LoopWatch(DBus::DefaultMainLoop& loop, int fd, std::function<void()> onReady)
    : callback(std::move(onReady)), watch(fd, POLLIN, &loop) {
    watch.ready = new DBus::Callback<LoopWatch, void, DBus::DefaultWatch&>(this, &LoopWatch::ready);
}

void LoopWatch::ready(DBus::DefaultWatch& /*watch*/) {
    callback();
}

LoopTimer::LoopTimer(DBus::DefaultMainLoop& loop, std::chrono::milliseconds interval,
                     std::function<void()> onExpired)
    : callback(std::move(onExpired)), timeout(static_cast<int>(interval.count()), true, &loop) {
    timeout.expired = new DBus::Callback<LoopTimer, void, DBus::DefaultTimeout&>(this, &LoopTimer::expired);
}

void LoopTimer::expired(DBus::DefaultTimeout& /*timeout*/) {
    callback();
}

}  // namespace Velk
