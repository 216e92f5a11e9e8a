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
#include <thread>

#include "proxy/proxy.h"
#include "proxy/proxy_connection.h"
#include "utils/session.h"
#include "utils/sockets.h"
#include "utils/strings.h"

namespace Velk {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto clientPollInterval = std::chrono::milliseconds(250);
constexpr auto transportSocketTimeout = std::chrono::seconds(5);
constexpr auto transportPollInterval = std::chrono::milliseconds(50);

void logJobError(const char* what, uint32_t sessionId) {
    Syslog::error("%s: exception: %s, session id: %u", "actionCreateTransport", what, sessionId);
}

bool isSocket(const std::string& path) {
    std::error_code ec;
    return fs::is_socket(path, ec);
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
        Syslog::info("%s: socket set policy: %s = %u", "actionCreateTransport", name,
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

void ProxyConnection::setKeepAlive(int fd, const JsonConfig& cfg) const {
    if (!cfg.getBoolean("tcp:keepalive:enable", true)) {
        return;
    }
    setSocketOption(fd, SOL_SOCKET, SO_KEEPALIVE, "SO_KEEPALIVE", 1);
    for (const auto& option : keepAliveOptions) {
        setSocketOption(fd, option.level, option.option, option.name,
                        cfg.getInteger(option.key, option.fallback));
    }
}

// The listening descriptor once a client waits; -1 after a stop, a time-out
// or a failed poll (the listener is then closed).
int ProxyConnection::waitForClient(int listenFd, const uint32_t& sessionId) const {
    uint32_t timeout = 0;
    try {
        timeout = currentListenTimeout();
    } catch (...) {
        // The job ends with the configuration's error; the port must not
        // stay bound by a listener nobody accepts on.
        close(listenFd);
        throw;
    }
    const auto started = Clock::now();
    try {
        while (proxyRunning.load()) {
            if (Utils::hasInput(listenFd, 1)) {
                return listenFd;
            }
            if (listenStop.load()) {
                logJobError("session disconnected", sessionId);
                close(listenFd);
                return -1;
            }
            if (Clock::now() - started > std::chrono::seconds(timeout)) {
                logJobError("transport stopped, timeout", sessionId);
                close(listenFd);
                return -1;
            }
            std::this_thread::sleep_for(clientPollInterval);
        }
    } catch (const std::exception& err) {
        logJobError(err.what(), sessionId);
        close(listenFd);
        return -1;
    }
    close(listenFd);
    return -1;
}

bool ProxyConnection::waitTransportSocket(const std::string& socketPath, const uint32_t& sessionId) const {
    const auto started = Clock::now();
    while (!isSocket(socketPath)) {
        if (!proxyRunning.load()) {
            logJobError("proxy stopped", sessionId);
            return false;
        }
        if (Clock::now() - started > transportSocketTimeout) {
            logJobError("transport stopped, timeout", sessionId);
            return false;
        }
        std::this_thread::sleep_for(transportPollInterval);
    }
    return true;
}

bool ProxyConnection::actionCreateTransport(const uint32_t& sessionId, const uint32_t& samId) {
    const auto cfg = currentConfig();
    const int port = cfg->getInteger("listen:port", 3389);
    const std::string addr = cfg->getString("listen:addr", "0.0.0.0");
    debug("%s: address: %s, port: %d", "actionCreateTransport", addr.c_str(), port);

    const int listenFd = Socket::tcpListen(addr, static_cast<uint16_t>(port), 1);
    try {
        proxyListenStarted(sessionId, listenFd >= 0);
    } catch (...) {
        if (listenFd >= 0) {
            close(listenFd);
        }
        throw;
    }
    if (listenFd < 0 || waitForClient(listenFd, sessionId) < 0) {
        return false;
    }

    std::string remoteAddr;
    const int clientFd = Socket::tcpAccept(listenFd, &remoteAddr);
    close(listenFd);
    if (clientFd < 0) {
        return false;
    }
    try {
        // Interactive traffic: Nagle with delayed acknowledgements would hold
        // a keystroke back for tens of milliseconds.
        setSocketOption(clientFd, IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY", 1);
        setKeepAlive(clientFd, *currentConfig());
    } catch (...) {
        close(clientFd);
        throw;
    }

    debug("%s: session id: %u, remote addr: %s, fd: %d", "actionCreateTransport", sessionId,
          remoteAddr.c_str(), clientFd);
    try {
        proxyClientConnected(sessionId, remoteAddr);
    } catch (...) {
        close(clientFd);
        throw;
    }
    return connectTransport(clientFd, remoteAddr, sessionId, samId);
}

std::string ProxyConnection::transportSocketPath(const uint32_t& sessionId, size_t index) const {
    return (velkDirectory() / Utils::joinString("proxy_", sessionId, "_", index)).string();
}

// The count of the session's jobs, unless a job still holds the names of that
// index: one that ended and waits for the sweep while an older one goes on,
// or that the sweep has not reached yet when its client comes back at once.
// The new job would share its socket and SAM file, and the old job's end
// would remove them under the new one.
size_t ProxyConnection::freeJobIndex(const uint32_t& sessionId) const {
    size_t index = jobMultiSession(sessionId);
    const std::lock_guard<std::mutex> guard(jobsLock);
    const auto taken = [&](size_t candidate) {
        const std::string path = transportSocketPath(sessionId, candidate);
        return std::any_of(jobs.begin(), jobs.end(),
                           [&path](const JobTransfer& job) { return job.transportSocket() == path; });
    };
    while (taken(index)) {
        ++index;
    }
    return index;
}

bool ProxyConnection::connectTransport(int clientFd, const std::string& remoteAddr, const uint32_t& sessionId,
                                       const uint32_t& samId) {
    const size_t index = freeJobIndex(sessionId);
    const std::string socketPath = transportSocketPath(sessionId, index);
    const std::string samPath = (velkDirectory() / Utils::joinString("sam_", samId, "_", index)).string();
    bool handedOver = false;

    try {
        if (isSocket(socketPath)) {
            fs::remove(socketPath);
        }
        TransportHandle transport = requestRdpTransport(socketPath, samPath, sessionId, index);

        if (!waitTransportSocket(socketPath, sessionId)) {
            abandonTransport(clientFd, transport);
            return false;
        }
        const int unixFd = Socket::unixConnect(socketPath);
        if (unixFd < 0) {
            error("%s: transport not started, session id: %u", "actionCreateTransport", sessionId);
            abandonTransport(clientFd, transport);
            return false;
        }

        const std::lock_guard<std::mutex> guard(jobsLock);
        const int transportPid = transport.first;
        jobs.emplace_back(clientFd, unixFd, socketPath, samPath, std::move(transport), sessionId);
        handedOver = true;
        debug("%s: session id: %u, create transfer job, socket: %d, unix: %d", "actionCreateTransport",
              sessionId, clientFd, unixFd);
        proxySessionConnected(sessionId, static_cast<uint32_t>(transportPid), remoteAddr);
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
