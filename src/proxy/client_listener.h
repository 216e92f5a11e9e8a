// The TCP side of the listen job: the listening sockets of the configured
// address (both families' for a wildcard, so that no other process can hold
// one of them while the proxy listens on the other) and the options an
// accepted client's socket gets. Its lines carry the listen job's name, as
// all of the job's lines do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "utils/unique_fd.h"

namespace Velk {

// Bound sockets that listen only while asked to. A held listener keeps its
// port bound between two listens, and no other socket can share it: it
// asks for SO_REUSEADDR and SO_REUSEPORT only while it listens, when
// nobody can share a listening port anyway but the connections it accepts
// take them on. Those let the port listen again beside the connections
// still running (SO_REUSEPORT, of the same user) and be bound again by the
// next start while they wait out TIME_WAIT (SO_REUSEADDR). Every user's
// proxy of a host shares the port of a listener that is not held, one
// allowance after the other.
class ClientListener {
public:
    // Every socket of the address bound; nothing, after an error line naming
    // the address, port and family, when any of them cannot be bound.
    static std::optional<ClientListener> bind(const std::string& address, uint16_t port, bool held);

    // Listens on every socket; false after an error line.
    bool listen();
    // Stops listening: connections not yet accepted are refused. A held
    // listener keeps the port; another lets it go.
    void stopListening();

    std::vector<int> fds() const;
    bool bindsTo(const std::string& other, uint16_t otherPort) const {
        return other == address && otherPort == port;
    }

private:
    ClientListener(std::string boundAddress, uint16_t boundPort, bool held)
        : address(std::move(boundAddress)), port(boundPort), holdsPort(held) {}

    std::vector<Utils::UniqueFd> sockets;
    std::string address;
    uint16_t port = 0;
    bool holdsPort = false;
};

// The listener of "listen:addr" and "listen:port"; nothing, after an error
// line, when the values are not usable or a socket cannot be bound.
std::optional<ClientListener> bindConfiguredListener(const JsonConfig& cfg, uint32_t sessionId, bool held);

// No Nagle, and keep-alive with a user time-out as the configuration says.
void setClientSocketOptions(int fd, const JsonConfig& cfg);

}  // namespace Velk
