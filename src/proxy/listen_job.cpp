// The listen job: open the TCP listener, wait for one client, start the
// transport for it, connect to the transport's socket and hand both to a new
// transfer job, telling the manager about each stage.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "proxy/client_gate.h"
#include "proxy/private_directory.h"
#include "proxy/proxy.h"
#include "proxy/proxy_connection.h"
#include "proxy/socket_wait.h"
#include "utils/session.h"
#include "utils/sockets.h"
#include "utils/strings.h"

namespace Velk {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int defaultFirstBytesTimeout = 5;
constexpr auto transportSocketTimeout = std::chrono::seconds(5);

void logJobError(const char* what, uint32_t sessionId) {
    Syslog::error("%s: exception: %s, session id: %u", "actionCreateTransport", what, sessionId);
}

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

void abandonTransport(int clientFd, TransportHandle& transport) {
    close(clientFd);
    kill(transport.first, SIGTERM);
    awaitTransportEnd(transport);
}

}  // namespace

// Keep-alive finds a client that went away while the connection was idle; a
// client that vanished with data in flight is found by the user time-out,
// which drops the connection after as long as keep-alive would take.
void ProxyConnection::setKeepAlive(int fd, const JsonConfig& cfg) const {
    if (!cfg.getBoolean("tcp:keepalive:enable", true)) {
        return;
    }
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

// The client that spoke first, its first bytes unread; no client after a
// stop, a time-out or a failed poll.
GateResult ProxyConnection::waitForClient(int listenFd, const uint32_t& sessionId) const {
    const auto cfg = currentConfig();
    GateSettings settings;
    settings.listenTimeout = std::chrono::seconds(currentListenTimeout());
    settings.firstBytesTimeout = std::chrono::seconds(
        std::max(0, cfg->getInteger("listen:first-bytes-timeout", defaultFirstBytesTimeout)));
    settings.wakeFds = {proxyStopEvent.fd(), listenWake.fd()};
    const auto stopRequested = [this]() -> std::optional<GateEnd> {
        if (!proxyRunning.load()) {
            return GateEnd::Stopped;
        }
        return listenStop.load() ? std::optional<GateEnd>(GateEnd::Disconnected) : std::nullopt;
    };
    try {
        GateResult result = awaitSpeakingClient(listenFd, settings, stopRequested);
        if (result.end == GateEnd::Disconnected) {
            logJobError("session disconnected", sessionId);
        } else if (result.end == GateEnd::TimedOut) {
            logJobError("transport stopped, timeout", sessionId);
        }
        return result;
    } catch (const std::exception& err) {
        logJobError(err.what(), sessionId);
        return {};
    }
}

// The listener of the configuration in force; none, after an error line,
// when the configuration's values are not usable. The manager is told either
// way: a wrong value must never make allowances fail without a word.
Utils::UniqueFd ProxyConnection::openListener(const uint32_t& sessionId) {
    Utils::UniqueFd listener;
    try {
        const auto cfg = currentConfig();
        const int port = cfg->getInteger("listen:port", 3389);
        const std::string addr = cfg->getString("listen:addr", "0.0.0.0");
        debug("%s: address: %s, port: %d", "actionCreateTransport", addr.c_str(), port);
        if (port < 1 || port > 65535) {
            error("%s: listen:port out of range, port: %d, session id: %u", "actionCreateTransport", port,
                  sessionId);
        } else {
            listener.reset(Socket::tcpListen(addr, static_cast<uint16_t>(port), 1));
        }
    } catch (const std::exception& err) {
        logJobError(err.what(), sessionId);
    }
    proxyListenStarted(sessionId, listener.valid());
    return listener;
}

// The connection to the transport's socket; an invalid descriptor, after the
// reason was logged, when there is none.
Utils::UniqueFd ProxyConnection::openTransportConnection(const std::string& socketPath, pid_t transportPid,
                                                         const uint32_t& sessionId) const {
    const auto stopped = [] { return !proxyRunning.load(); };
    TransportConnection connection = connectTransportSocket(socketPath, transportPid, {proxyStopEvent.fd()},
                                                            stopped, transportSocketTimeout);
    switch (connection.end) {
        case SocketWait::Connected:
            break;
        case SocketWait::Stopped:
            logJobError("proxy stopped", sessionId);
            break;
        case SocketWait::TransportEnded:
            logJobError("transport ended", sessionId);
            break;
        case SocketWait::TimedOut:
            logJobError("transport stopped, timeout", sessionId);
            break;
        case SocketWait::Refused:
            error("%s: transport not started, session id: %u", "actionCreateTransport", sessionId);
            break;
    }
    return std::move(connection.fd);
}

bool ProxyConnection::actionCreateTransport(const uint32_t& sessionId, const uint32_t& samId) {
    Utils::UniqueFd listener = openListener(sessionId);
    if (!listener.valid()) {
        return false;
    }
    GateResult admitted = waitForClient(listener.get(), sessionId);
    // One client per allowed connection: nobody else gets in after it.
    listener.reset();
    if (!admitted.client.valid()) {
        return false;
    }
    const Utils::UniqueFd& client = admitted.client;
    // Interactive traffic: Nagle with delayed acknowledgements would hold
    // a keystroke back for tens of milliseconds.
    setSocketOption(client.get(), IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY", 1);
    setKeepAlive(client.get(), *currentConfig());

    debug("%s: session id: %u, remote addr: %s, fd: %d", "actionCreateTransport", sessionId,
          admitted.address.c_str(), client.get());
    proxyClientConnected(sessionId, admitted.address);
    const int clientFd = admitted.client.release();
    return connectTransport(clientFd, Peer{admitted.address, admitted.port}, sessionId, samId);
}

std::string ProxyConnection::transportSocketPath(const uint32_t& sessionId, size_t index) const {
    return (velkDirectory() / Utils::joinString("proxy_", sessionId, "_", index)).string();
}

// The count of the session's jobs, unless a job still holds the names of that
// index: one that ended and waits for the sweep while an older one goes on,
// or that the sweep has not reached yet when its client comes back at once,
// or that is being destroyed outside the lock.
// The new job would share its socket and SAM file, and the old job's end
// would remove them under the new one.
size_t ProxyConnection::freeJobIndex(const uint32_t& sessionId) const {
    size_t index = jobMultiSession(sessionId);
    const std::lock_guard<std::mutex> guard(jobsLock);
    const auto taken = [&](size_t candidate) {
        const std::string path = transportSocketPath(sessionId, candidate);
        return retiringSockets.count(path) > 0 ||
               std::any_of(jobs.begin(), jobs.end(),
                           [&path](const JobTransfer& job) { return job.transportSocket() == path; });
    };
    while (taken(index)) {
        ++index;
    }
    return index;
}

bool ProxyConnection::connectTransport(int clientFd, const Peer& peer, const uint32_t& sessionId,
                                       const uint32_t& samId) {
    const size_t index = freeJobIndex(sessionId);
    const std::string socketPath = transportSocketPath(sessionId, index);
    // The session id keeps two sessions that share a samId off each other's file.
    const std::string samPath =
        (velkDirectory() / Utils::joinString("sam_", samId, "_", sessionId, "_", index)).string();
    bool handedOver = false;

    try {
        // Checked again before anything goes in: it may have been removed or
        // replaced since the start.
        if (!ensurePrivateDirectory(velkDirectory())) {
            throw velk_error("ensurePrivateDirectory");
        }
        if (isSocketFile(socketPath)) {
            fs::remove(socketPath);
        }
        TransportHandle transport = requestRdpTransport(socketPath, samPath, sessionId, index);

        Utils::UniqueFd transportFd = openTransportConnection(socketPath, transport.first, sessionId);
        if (!transportFd.valid()) {
            abandonTransport(clientFd, transport);
            return false;
        }
        const int unixFd = transportFd.release();

        const std::lock_guard<std::mutex> guard(jobsLock);
        const int transportPid = transport.first;
        jobs.emplace_back(clientFd, unixFd, socketPath, samPath, std::move(transport), sessionId,
                          peer.address);
        handedOver = true;
        debug("%s: session id: %u, create transfer job, socket: %d, unix: %d", "actionCreateTransport",
              sessionId, clientFd, unixFd);
        notice("%s: session started, session id: %u, remote addr: `%s', port: %u, transport pid: %d",
               "actionCreateTransport", sessionId, peer.address.c_str(), static_cast<unsigned>(peer.port),
               transportPid);
        proxySessionConnected(sessionId, static_cast<uint32_t>(transportPid), peer.address);
        return true;
    } catch (const std::system_error& err) {
        error("%s: system error: %s, session id: %u", "actionCreateTransport", err.what(), sessionId);
    } catch (const std::exception& err) {
        logJobError(err.what(), sessionId);
    }
    if (!handedOver) {
        close(clientFd);
    }
    return false;
}

}  // namespace Velk
