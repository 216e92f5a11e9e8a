// The proxy's process-wide run flag, dispatcher and signal handler.
#include "proxy/proxy.h"

#include "proxy/main_loop.h"

namespace Velk {

std::atomic<bool> proxyRunning{false};
ProxyDispatcher proxyDispatcher;
Utils::WakeEvent proxyStopEvent;
Utils::WakeEvent proxyReloadEvent;
Utils::WakeEvent proxyReportEvent;
std::atomic<int> proxyStopReason{static_cast<int>(StopReason::None)};

void ProxyDispatcher::enter() {
    const LoopWatch stop(*this, proxyStopEvent.fd(), [] {});
    while (proxyRunning.load()) {
        do_iteration();
        if (afterTurn) {
            afterTurn();
        }
    }
}

void stopProxy(StopReason reason) {
    int none = static_cast<int>(StopReason::None);
    proxyStopReason.compare_exchange_strong(none, static_cast<int>(reason));
    proxyRunning.exchange(false);
    proxyStopEvent.raise();
}

void startProxy() {
    proxyStopEvent.clear();
    proxyStopReason.exchange(static_cast<int>(StopReason::None));
    proxyRunning.exchange(true);
}

const char* stopReasonText(StopReason reason) {
    switch (reason) {
        case StopReason::Signal:
            return "signal";
        case StopReason::ManagerStopped:
            return "manager stopped";
        case StopReason::BusLost:
            return "dbus connection lost";
        case StopReason::Destroyed:
            return "destroyed";
        case StopReason::None:
            break;
    }
    return "none";
}

}  // namespace Velk

void signalHandler(int /*sig*/) {
    Velk::stopProxy(Velk::StopReason::Signal);
}

void reloadSignalHandler(int /*sig*/) {
    Velk::proxyReloadEvent.raise();
}

void reportSignalHandler(int /*sig*/) {
    Velk::proxyReportEvent.raise();
}
