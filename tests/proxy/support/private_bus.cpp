// Starts and stops the private bus; see private_bus.h.
#include "private_bus.h"

#include <signal.h>
#include <sys/stat.h>

#include <stdexcept>

namespace VelkTest {

namespace {

using namespace std::chrono_literals;

// Only the standard descriptors reach a ChildProcess, so the daemon prints
// its address to standard error; that line is also the sign that it accepts
// connections.
std::optional<std::string> announcedAddress(const std::string& errText) {
    const size_t begin = errText.find("unix:path=");
    const size_t end = errText.find('\n', begin);
    if (begin == std::string::npos || end == std::string::npos) {
        return std::nullopt;
    }
    return errText.substr(begin, end - begin);
}

}  // namespace

PrivateBus::PrivateBus()
    : daemon({VELK_DBUS_DAEMON, std::string("--config-file=") + VELK_TEST_BUS_CONFIG, "--nofork",
              "--address=unix:path=" + (dir / "bus").string(), "--print-address=2"}) {
    // The proxy may run as a test user, who has to reach the socket.
    chmod(dir.path().c_str(), 0755);
    std::optional<std::string> address;
    const bool announced = waitUntil(
        [&] {
            address = announcedAddress(daemon.errText());
            return address || !daemon.running();
        },
        10s);
    if (!announced || !address) {
        throw std::runtime_error("the private bus did not start: " + daemon.errText());
    }
    busAddress = *address;
}

PrivateBus::~PrivateBus() {
    if (daemon.running()) {
        stop();
    }
}

std::optional<ProcessResult> PrivateBus::stop() {
    daemon.signal(SIGTERM);
    return daemon.wait(10s);
}

}  // namespace VelkTest
