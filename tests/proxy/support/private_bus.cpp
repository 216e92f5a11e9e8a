// Starts and stops the private bus; see private_bus.h.
#include "private_bus.h"

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
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

// The stock configuration lies beside the one with the package's policy.
std::string configFile(BusPolicy policy) {
    const std::filesystem::path withPolicy(VELK_TEST_BUS_CONFIG);
    if (policy == BusPolicy::Stock) {
        return (withPolicy.parent_path() / "velk-test-bus-stock.conf").string();
    }
    return withPolicy.string();
}

}  // namespace

PrivateBus::PrivateBus(BusPolicy policy)
    : daemon({VELK_DBUS_DAEMON, "--config-file=" + configFile(policy), "--nofork",
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
