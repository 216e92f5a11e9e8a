// See client_listener.h. Keep-alive finds a client that went away while the
// connection was idle; a client that vanished with data in flight is found
// by the user time-out, which drops the connection after as long as
// keep-alive would take.
#include "proxy/client_listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "logger.h"
#include "utils/sockets.h"

namespace Velk {

namespace {

struct KeepAliveOption {
    int level;
    int option;
    const char* name;
    const char* key;
    int fallback;
};

// The names are the ones administrators know from the logs.
constexpr KeepAliveOption keepAliveOptions[] = {
    {IPPROTO_TCP, TCP_KEEPIDLE, "SO_KEEPIDLE", "tcp:keepalive:delay", 5},
    {IPPROTO_TCP, TCP_KEEPCNT, "SO_KEEPCNT", "tcp:keepalive:retries", 3},
    {IPPROTO_TCP, TCP_KEEPINTVL, "SO_KEEPINTVL", "tcp:keepalive:interval", 2},
};

void setSocketOption(int fd, int level, int option, const char* name, int value) {
    if (setsockopt(fd, level, option, &value, sizeof(value)) == 0) {
        Syslog::debug("%s: socket set policy: %s = %u", "actionCreateTransport", name,
                      static_cast<unsigned>(value));
    } else {
        Syslog::warning("%s: socket %s failed, error: %s, code: %d", "actionCreateTransport", name,
                        strerror(errno), errno);
    }
}

void setKeepAlive(int fd, const JsonConfig& cfg) {
    setSocketOption(fd, SOL_SOCKET, SO_KEEPALIVE, "SO_KEEPALIVE", 1);
    int values[std::size(keepAliveOptions)] = {};
    for (size_t index = 0; index < std::size(keepAliveOptions); ++index) {
        const auto& option = keepAliveOptions[index];
        values[index] = cfg.getInteger(option.key, option.fallback);
        setSocketOption(fd, option.level, option.option, option.name, values[index]);
    }
    const int idle = values[0];
    const int retries = values[1];
    const int interval = values[2];
    setSocketOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, "TCP_USER_TIMEOUT",
                    (idle + retries * interval) * 1000);
}

// A client's connection waits in the backlog until the gate accepts it: a
// flood of probes that fills it would have the real client's connection
// dropped and tried again only a second later. The kernel caps it at its
// own limit.
constexpr int listenBacklog = SOMAXCONN;

void setFlag(int fd, int option, bool on) {
    const int value = on ? 1 : 0;
    setsockopt(fd, SOL_SOCKET, option, &value, sizeof(value));
}

}  // namespace

std::optional<ClientListener> ClientListener::bind(const std::string& address, uint16_t port, bool held) {
    ClientListener listener(address, port, held);
    const std::vector<Socket::ListenAddress> addresses = Socket::listenAddresses(address, port);
    if (addresses.empty()) {
        return std::nullopt;
    }
    for (const auto& each : addresses) {
        Utils::UniqueFd fd(Socket::tcpBind(each));
        if (!fd.valid()) {
            return std::nullopt;
        }
        if (held) {
            setFlag(fd.get(), SO_REUSEADDR, false);
        }
        listener.sockets.push_back(std::move(fd));
    }
    return listener;
}

bool ClientListener::listen() {
    for (const auto& fd : sockets) {
        setFlag(fd.get(), SO_REUSEPORT, holdsPort);
        if (::listen(fd.get(), listenBacklog) != 0) {
            Syslog::error("%s: %s failed, address: %s, port: %u, error: %s, code: %d",
                          "actionCreateTransport", "listen", address.c_str(), static_cast<unsigned>(port),
                          strerror(errno), errno);
            stopListening();
            return false;
        }
        setFlag(fd.get(), SO_REUSEADDR, true);
    }
    return true;
}

void ClientListener::stopListening() {
    if (!holdsPort) {
        sockets.clear();
        return;
    }
    // An unspecified peer takes a listening socket back to a bound one.
    const sockaddr none{AF_UNSPEC, {}};
    for (const auto& fd : sockets) {
        setFlag(fd.get(), SO_REUSEADDR, false);
        if (connect(fd.get(), &none, sizeof(none)) != 0) {
            Syslog::error("%s: %s failed, address: %s, port: %u, error: %s, code: %d", "stopListening",
                          "connect", address.c_str(), static_cast<unsigned>(port), strerror(errno), errno);
        }
        setFlag(fd.get(), SO_REUSEPORT, false);
    }
}

std::vector<int> ClientListener::fds() const {
    std::vector<int> fds;
    for (const auto& fd : sockets) {
        fds.push_back(fd.get());
    }
    return fds;
}

std::optional<ClientListener> bindConfiguredListener(const JsonConfig& cfg, uint32_t sessionId, bool held) {
    const int port = cfg.getInteger("listen:port", 3389);
    const std::string addr = cfg.getString("listen:addr", "0.0.0.0");
    Syslog::debug("%s: address: %s, port: %d", "actionCreateTransport", addr.c_str(), port);
    if (port < 1 || port > 65535) {
        Syslog::error("%s: listen:port out of range, port: %d, session id: %u", "actionCreateTransport", port,
                      sessionId);
        return std::nullopt;
    }
    return ClientListener::bind(addr, static_cast<uint16_t>(port), held);
}

void setClientSocketOptions(int fd, const JsonConfig& cfg) {
    // Interactive traffic: Nagle with delayed acknowledgements would hold
    // a keystroke back for tens of milliseconds.
    setSocketOption(fd, IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY", 1);
    if (cfg.getBoolean("tcp:keepalive:enable", true)) {
        setKeepAlive(fd, cfg);
    }
}

}  // namespace Velk
