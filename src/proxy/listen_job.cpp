// ProxyConnection's listen job: open the TCP listener, wait for one client,
// start the transport for it, connect to the transport's socket and hand both
// to a new transfer job, telling the manager about each stage. Every line it
// writes carries the job's name, actionCreateTransport.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <system_error>

#include "proxy/client_listener.h"
#include "proxy/private_directory.h"
#include "proxy/proxy.h"
#include "proxy/proxy_connection.h"
#include "proxy/socket_wait.h"
#include "utils/strings.h"

namespace Velk {

namespace {

constexpr int defaultFirstBytesTimeout = 5;
constexpr int defaultHandshakeTimeout = 10;
constexpr auto transportSocketTimeout = std::chrono::seconds(5);

void logJobError(const char* what, uint32_t sessionId) {
    Syslog::error("%s: exception: %s, session id: %u", "actionCreateTransport", what, sessionId);
}

}  // namespace

bool ProxyConnection::actionCreateTransport(const uint32_t& sessionId, const uint32_t& samId,
                                            const std::optional<JsonConfig>& description) {
    std::shared_ptr<ClientListener> listener = openListener(sessionId);
    if (!listener) {
        return false;
    }
    GateResult admitted = waitForClient(listener->fds(), sessionId);
    // One client per allowed connection: nobody else gets in after it.
    listener->stopListening();
    listener.reset();
    if (!admitted.client.valid()) {
        return false;
    }
    setClientSocketOptions(admitted.client.get(), *currentConfig());
    debug("%s: session id: %u, remote addr: %s, fd: %d", "actionCreateTransport", sessionId,
          admitted.address.c_str(), admitted.client.get());
    proxyClientConnected(sessionId, admitted.address);
    try {
        return connectTransport(admitted, sessionId, samId, description);
    } catch (const std::system_error& err) {
        error("%s: system error: %s, session id: %u", "actionCreateTransport", err.what(), sessionId);
    } catch (const std::exception& err) {
        logJobError(err.what(), sessionId);
    }
    return false;
}

// The held listener, or one of the configuration in force. The manager is
// told either way: a wrong value must never make allowances fail without a
// word.
std::shared_ptr<ClientListener> ProxyConnection::openListener(const uint32_t& sessionId) {
    std::shared_ptr<ClientListener> listener = std::atomic_load(&heldListener);
    try {
        if (!listener) {
            if (auto bound = bindConfiguredListener(*currentConfig(), sessionId, false)) {
                listener = std::make_shared<ClientListener>(std::move(*bound));
            }
        }
    } catch (const std::exception& err) {
        logJobError(err.what(), sessionId);
    }
    if (listener && !listener->listen()) {
        listener.reset();
    }
    proxyListenStarted(sessionId, listener != nullptr);
    return listener;
}

bool ProxyConnection::holdPortOf(const JsonConfig& cfg) {
    if (!cfg.getBoolean("listen:hold-port", false)) {
        std::atomic_store(&heldListener, std::shared_ptr<ClientListener>());
        return true;
    }
    const std::string address = cfg.getString("listen:addr", "0.0.0.0");
    const int port = cfg.getInteger("listen:port", 3389);
    const auto held = std::atomic_load(&heldListener);
    if (held && held->bindsTo(address, static_cast<uint16_t>(port))) {
        return true;
    }
    // The port held so far is let go first: the new one may be the same
    // port on another address.
    std::atomic_store(&heldListener, std::shared_ptr<ClientListener>());
    auto bound = bindConfiguredListener(cfg, 0, true);
    if (!bound) {
        return false;
    }
    notice("%s: port held, address: %s, port: %d", "holdPort", address.c_str(), port);
    std::atomic_store(&heldListener, std::make_shared<ClientListener>(std::move(*bound)));
    return true;
}

// The client that sent a connection request first, its bytes unread; no
// client after a stop, a time-out or a failed poll.
GateResult ProxyConnection::waitForClient(const std::vector<int>& listenFds,
                                          const uint32_t& sessionId) const {
    const auto cfg = currentConfig();
    GateSettings settings;
    settings.listenTimeout = std::chrono::seconds(currentListenTimeout());
    settings.firstBytesTimeout =
        std::chrono::seconds(cfg->getInteger("listen:first-bytes-timeout", defaultFirstBytesTimeout));
    settings.wakeFds = {proxyStopEvent.fd(), listenWake.fd()};
    const auto stopRequested = [this]() -> std::optional<GateEnd> {
        if (!proxyRunning.load()) {
            return GateEnd::Stopped;
        }
        return listenStop.load() ? std::optional<GateEnd>(GateEnd::Disconnected) : std::nullopt;
    };
    try {
        GateResult result = awaitRdpClient(listenFds, settings, stopRequested);
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

// The client stays the gate's until the new job owns it; a transport that is
// not handed over is stopped by its owner on the way out.
bool ProxyConnection::connectTransport(GateResult& admitted, const uint32_t& sessionId, const uint32_t& samId,
                                       const std::optional<JsonConfig>& description) {
    const JsonConfig session = transportDescription(sessionId, description);
    const size_t index = jobs.freeIndex(
        sessionId, [&](size_t candidate) { return transportSocketPath(sessionId, candidate); });
    const JobFiles files = jobFiles(sessionId, samId, index);
    // Checked again before anything goes in: it may have been removed or
    // replaced since the start.
    if (!ensurePrivateDirectory(velkDirectory())) {
        throw velk_error("ensurePrivateDirectory");
    }
    if (isSocketFile(files.socketPath)) {
        std::filesystem::remove(files.socketPath);
    }
    RdpTransport transport(requestRdpTransport(files.socketPath, files.samPath, session, sessionId, index));
    Utils::UniqueFd transportFd = openTransportConnection(transport, files.socketPath, sessionId);
    if (!transportFd.valid()) {
        // The client learns at once that nothing will serve it.
        admitted.client.reset();
        return false;
    }
    const pid_t transportPid = transport.pid();
    const int clientFd = admitted.client.get();
    const int unixFd = transportFd.get();
    const auto answerDeadline = admitted.spokeAt + std::chrono::seconds(currentConfig()->getInteger(
                                                       "listen:handshake-timeout", defaultHandshakeTimeout));
    jobs.add(admitted.client.release(), transportFd.release(), files, transport.handOver(), sessionId,
             admitted.address, answerDeadline, [&] {
                 debug("%s: session id: %u, create transfer job, socket: %d, unix: %d",
                       "actionCreateTransport", sessionId, clientFd, unixFd);
                 notice("%s: session started, session id: %u, remote addr: `%s', port: %u, transport pid: %d",
                        "actionCreateTransport", sessionId, admitted.address.c_str(),
                        static_cast<unsigned>(admitted.port), transportPid);
                 proxySessionConnected(sessionId, static_cast<uint32_t>(transportPid), admitted.address);
             });
    return true;
}

std::string ProxyConnection::transportSocketPath(const uint32_t& sessionId, size_t index) const {
    return (velkDirectory() / Utils::joinString("proxy_", sessionId, "_", index)).string();
}

// The session id keeps two sessions that share a samId off each other's file.
JobFiles ProxyConnection::jobFiles(const uint32_t& sessionId, const uint32_t& samId, size_t index) const {
    return {transportSocketPath(sessionId, index),
            (velkDirectory() / Utils::joinString("sam_", samId, "_", sessionId, "_", index)).string()};
}

// The connection to the transport's socket; an invalid descriptor, after the
// reason was logged, when there is none.
Utils::UniqueFd ProxyConnection::openTransportConnection(const RdpTransport& transport,
                                                         const std::string& socketPath,
                                                         const uint32_t& sessionId) {
    const auto stopped = [] { return !proxyRunning.load(); };
    TransportConnection connection = transport.connect(transportDirectory, socketPath, {proxyStopEvent.fd()},
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

}  // namespace Velk
