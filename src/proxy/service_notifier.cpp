// See service_notifier.h.
#include "proxy/service_notifier.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <algorithm>

namespace Velk {

namespace {

uint64_t monotonicUsec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000U + static_cast<uint64_t>(now.tv_nsec) / 1000U;
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
    if (sd_watchdog_enabled(0, &watchdogUsec) <= 0) {
        watchdogUsec = 0;
    }
}

void ServiceNotifier::ready() const {
    sd_notify(0, "READY=1");
}

void ServiceNotifier::reloading() const {
    sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", static_cast<unsigned long long>(monotonicUsec()));
}

void ServiceNotifier::stopping() const {
    sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::status(const std::string& text) {
    if (text == lastStatus) {
        return;
    }
    lastStatus = text;
    sd_notifyf(0, "STATUS=%s", text.c_str());
}

void ServiceNotifier::keepAlive() const {
    sd_notify(0, "WATCHDOG=1");
}

std::optional<std::chrono::milliseconds> ServiceNotifier::keepAliveInterval() const {
    if (watchdogUsec == 0) {
        return std::nullopt;
    }
    return std::max(std::chrono::milliseconds(1000), std::chrono::milliseconds(watchdogUsec / 3000));
}

}  // namespace Velk
