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

}  // namespace

Utils::UniqueFd openClientListener(const JsonConfig& cfg, uint32_t sessionId) {
    const int port = cfg.getInteger("listen:port", 3389);
    const std::string addr = cfg.getString("listen:addr", "0.0.0.0");
    Syslog::debug("%s: address: %s, port: %d", "actionCreateTransport", addr.c_str(), port);
    if (port < 1 || port > 65535) {
        Syslog::error("%s: listen:port out of range, port: %d, session id: %u", "actionCreateTransport", port,
                      sessionId);
        return {};
    }
    return Utils::UniqueFd(Socket::tcpListen(addr, static_cast<uint16_t>(port), 1));
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
