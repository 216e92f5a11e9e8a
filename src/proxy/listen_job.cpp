// The listen job: open the TCP listener, wait for one client, start the
// transport for it, connect to the transport's socket and hand both to a new
// transfer job, telling the manager about each stage. Every line it writes
// carries the job's name, actionCreateTransport.
#include "proxy/listen_job.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <system_error>

#include "proxy/private_directory.h"
#include "proxy/proxy.h"
#include "proxy/proxy_connection.h"
#include "proxy/rdp_transport.h"
#include "utils/strings.h"
#include "utils/users.h"

namespace Velk {

namespace {

constexpr int defaultFirstBytesTimeout = 5;
constexpr int defaultHandshakeTimeout = 10;
constexpr auto transportSocketTimeout = std::chrono::seconds(5);

// The session's user: the description's, else the proxy's own.
std::string sessionUser(const JsonConfig& session) {
    std::string named = session.getString("username", "");
    if (!named.empty()) {
        return named;
    }
    const auto account = Utils::getUserInfoById(getuid());
    return account ? account->user : std::to_string(getuid());
}

}  // namespace

ListenJob::ListenJob(ListenContext jobContext, uint32_t session, uint32_t sam,
                     std::optional<JsonConfig> known)
    : context(std::move(jobContext)), sessionId(session), samId(sam), description(std::move(known)) {
    result = std::async(std::launch::async, [this] { return run(); });
}

ListenJob::~ListenJob() {
    stop();
    result.wait();
}

void ListenJob::stop() {
    stopRequested.exchange(true);
    wake.raise();
}

bool ListenJob::finished() const {
    return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

std::optional<Listening> ListenJob::listening() const {
    const std::lock_guard<std::mutex> guard(listeningLock);
    return listeningFor;
}

// Whatever ends the job, even a manager that fails a call, ends it with a
// line and tells the proxy's loop.
bool ListenJob::run() {
    bool created = false;
    try {
        created = actionCreateTransport();
    } catch (const std::exception& err) {
        logError(err.what());
    }
    context.ended.raise();
    return created;
}

void ListenJob::logError(const char* what) const {
    Syslog::error("%s: exception: %s, session id: %u", "actionCreateTransport", what, sessionId);
}

// Every transfer job holds a transport, two sockets and a channel: their
// number is bounded whatever the allowances say.
bool ListenJob::sessionLimitReached() {
    const size_t running = context.jobs.countRunning();
    if (running < context.maxSessions) {
        return false;
    }
    Syslog::warning("%s: session limit reached, session id: %u, sessions: %zu, limit: %zu",
                    "signalProxyAllowConnection", sessionId, running, context.maxSessions);
    context.proxy.manager().proxyListenStarted(sessionId, false);
    return true;
}

bool ListenJob::actionCreateTransport() {
    if (sessionLimitReached()) {
        return false;
    }
    std::shared_ptr<ClientListener> listener = openListener();
    if (!listener) {
        return false;
    }
    GateResult admitted = waitForClient(listener->fds());
    // One client per allowed connection: nobody else gets in after it.
    listener->stopListening();
    listener.reset();
    if (!admitted.client.valid()) {
        return false;
    }
    ProxyConnection& proxy = context.proxy;
    setClientSocketOptions(admitted.client.get(), *proxy.currentConfig());
    Syslog::debug("%s: session id: %u, remote addr: %s, fd: %d", "actionCreateTransport", sessionId,
                  admitted.address.c_str(), admitted.client.get());
    proxy.manager().proxyClientConnected(sessionId, admitted.address);
    try {
        return connectTransport(admitted);
    } catch (const std::system_error& err) {
        Syslog::error("%s: system error: %s, session id: %u", "actionCreateTransport", err.what(), sessionId);
    } catch (const std::exception& err) {
        logError(err.what());
    }
    return false;
}

// The held listener, or one of the configuration in force. The manager is
// told either way: a wrong value must never make allowances fail without a
// word.
std::shared_ptr<ClientListener> ListenJob::openListener() {
    std::shared_ptr<ClientListener> listener = context.heldListener;
    try {
        if (!listener) {
            if (auto bound = bindConfiguredListener(*context.proxy.currentConfig(), sessionId, false)) {
                listener = std::make_shared<ClientListener>(std::move(*bound));
            }
        }
    } catch (const std::exception& err) {
        logError(err.what());
    }
    if (listener && !listener->listen()) {
        listener.reset();
    }
    context.proxy.manager().proxyListenStarted(sessionId, listener != nullptr);
    return listener;
}

// The client that sent a connection request first, its bytes unread; no
// client after a stop, a time-out or a failed poll.
GateResult ListenJob::waitForClient(const std::vector<int>& listenFds) {
    const auto cfg = context.proxy.currentConfig();
    GateSettings settings;
    settings.listenTimeout = std::chrono::seconds(context.proxy.currentListenTimeout());
    settings.firstBytesTimeout =
        std::chrono::seconds(cfg->getInteger("listen:first-bytes-timeout", defaultFirstBytesTimeout));
    settings.wakeFds = {proxyStopEvent.fd(), wake.fd()};
    {
        const std::lock_guard<std::mutex> guard(listeningLock);
        listeningFor = Listening{sessionId, cfg->getString("listen:addr", "0.0.0.0"),
                                 cfg->getInteger("listen:port", 3389),
                                 std::chrono::steady_clock::now() + settings.listenTimeout};
    }
    const auto stopped = [this]() -> std::optional<GateEnd> {
        if (!proxyRunning.load()) {
            return GateEnd::Stopped;
        }
        return stopRequested.load() ? std::optional<GateEnd>(GateEnd::Disconnected) : std::nullopt;
    };
    GateResult admitted;
    try {
        admitted = awaitRdpClient(listenFds, settings, stopped);
        if (admitted.end == GateEnd::Disconnected) {
            logError("session disconnected");
        } else if (admitted.end == GateEnd::TimedOut) {
            logError("transport stopped, timeout");
        }
    } catch (const std::exception& err) {
        logError(err.what());
    }
    const std::lock_guard<std::mutex> guard(listeningLock);
    listeningFor.reset();
    return admitted;
}

// The client stays the gate's until the new job owns it; a transport that is
// not handed over is stopped by its owner on the way out.
bool ListenJob::connectTransport(GateResult& admitted) {
    ProxyConnection& proxy = context.proxy;
    const JsonConfig session = proxy.transportDescription(sessionId, description);
    const size_t index =
        context.jobs.freeIndex(sessionId, [&](size_t candidate) { return transportSocketPath(candidate); });
    const JobFiles files = jobFiles(index);
    // Checked again before anything goes in: it may have been removed or
    // replaced since the start.
    if (!ensurePrivateDirectory(proxy.velkDirectory())) {
        throw velk_error("ensurePrivateDirectory");
    }
    if (isSocketFile(files.socketPath)) {
        std::filesystem::remove(files.socketPath);
    }
    TransportHandle started;
    try {
        started = proxy.requestRdpTransport(files.socketPath, files.samPath, session, sessionId, index);
    } catch (...) {
        // The SAM file may have been written before the start failed.
        context.jobs.transports().retire({}, {"", files.samPath});
        throw;
    }
    RdpTransport transport(std::move(started), files, context.jobs.transports());
    Utils::UniqueFd transportFd = openTransportConnection(transport);
    if (!transportFd.valid()) {
        // The client learns at once that nothing will serve it.
        admitted.client.reset();
        return false;
    }
    const SessionFacts facts{sessionId, sessionUser(session), admitted.address, admitted.port,
                             transport.pid()};
    Syslog::debug("%s: session id: %u, create transfer job, socket: %d, unix: %d", "actionCreateTransport",
                  sessionId, admitted.client.get(), transportFd.get());
    const int answerSeconds =
        proxy.currentConfig()->getInteger("listen:handshake-timeout", defaultHandshakeTimeout);
    context.jobs.add({admitted.client.release(), transportFd.release(), files, transport.handOver(), facts,
                      admitted.spokeAt + std::chrono::seconds(answerSeconds)});
    logSessionStarted(facts);
    proxy.manager().proxySessionConnected(sessionId, static_cast<uint32_t>(facts.transportPid),
                                          admitted.address);
    return true;
}

std::string ListenJob::transportSocketPath(size_t index) const {
    return (context.proxy.velkDirectory() / Utils::joinString("proxy_", sessionId, "_", index)).string();
}

// The session id keeps two sessions that share a samId off each other's file.
JobFiles ListenJob::jobFiles(size_t index) const {
    return {transportSocketPath(index),
            (context.proxy.velkDirectory() / Utils::joinString("sam_", samId, "_", sessionId, "_", index))
                .string()};
}

// The connection to the transport's socket; an invalid descriptor, after the
// reason was logged, when there is none.
Utils::UniqueFd ListenJob::openTransportConnection(const RdpTransport& transport) const {
    const auto stopped = [] { return !proxyRunning.load(); };
    TransportConnection connection =
        transport.connect(context.transportDirectory, {proxyStopEvent.fd()}, stopped, transportSocketTimeout);
    switch (connection.end) {
        case SocketWait::Connected:
            break;
        case SocketWait::Stopped:
            logError("proxy stopped");
            break;
        case SocketWait::TransportEnded:
            logError("transport ended");
            break;
        case SocketWait::TimedOut:
            logError("transport stopped, timeout");
            break;
        case SocketWait::Refused:
            Syslog::error("%s: transport not started, session id: %u", "actionCreateTransport", sessionId);
            break;
    }
    return std::move(connection.fd);
}

}  // namespace Velk
