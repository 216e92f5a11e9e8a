// The proxy's process-wide run flag, dispatcher and signal handler.
#include "proxy/proxy.h"

namespace Velk {

std::atomic<bool> proxyRunning{false};
DBus::BusDispatcher proxyDispatcher;
WakeEvent proxyStopEvent;

void stopProxy() {
    proxyRunning.exchange(false);
    proxyStopEvent.raise();
}

}  // namespace Velk

void signalHandler(int /*sig*/) {
    Velk::stopProxy();
}
