// One allowed connection on a thread of its own: the listener, the wait for
// the RDP client, the transport's start and the hand-over of both sockets to
// a transfer job, each stage told to the manager. It owns what only it uses:
// its session, its stop and the wake-up that carries it, its thread's result.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "proxy/client_gate.h"
#include "proxy/client_listener.h"
#include "proxy/job_registry.h"
#include "proxy/socket_wait.h"
#include "utils/unique_fd.h"
#include "utils/wake_event.h"

namespace Velk {

class ProxyConnection;
class RdpTransport;

// What a listen job uses of the proxy that starts it.
struct ListenContext {
    // The configuration, the manager's methods, the transport's start.
    ProxyConnection& proxy;
    JobRegistry& jobs;
    // One inotify descriptor for every job of the proxy's life.
    SocketDirectoryWatch& transportDirectory;
    // Raised when the job ends.
    const Utils::WakeEvent& ended;
    // With "listen:hold-port": the port bound since the start.
    std::shared_ptr<ClientListener> heldListener;
    // "listen:max-sessions": with as many transfer jobs running, the job
    // opens nothing and the manager hears so.
    size_t maxSessions;
};

// What the job listens for, for the proxy's status.
struct Listening {
    uint32_t sessionId = 0;
    std::string address;
    int port = 0;
    std::chrono::steady_clock::time_point until;
};

class ListenJob {
public:
    // Starts the job's thread. The session's description, when the
    // allowance brought it, saves asking the manager once a client came.
    ListenJob(ListenContext jobContext, uint32_t session, uint32_t sam, std::optional<JsonConfig> known);
    // Gives up and waits for the thread.
    ~ListenJob();
    ListenJob(const ListenJob&) = delete;
    ListenJob& operator=(const ListenJob&) = delete;

    uint32_t session() const { return sessionId; }
    // The session disconnected: the job gives up at once.
    void stop();
    bool finished() const;
    // While it listens: for what and until when.
    std::optional<Listening> listening() const;

private:
    // The job's thread: true when a transfer job was made.
    bool run();
    bool actionCreateTransport();
    bool sessionLimitReached();
    std::shared_ptr<ClientListener> openListener();
    GateResult waitForClient(const std::vector<int>& listenFds);
    bool connectTransport(GateResult& admitted);
    JobFiles jobFiles(size_t index) const;
    std::string transportSocketPath(size_t index) const;
    Utils::UniqueFd openTransportConnection(const RdpTransport& transport) const;
    void logError(const char* what) const;

    ListenContext context;
    const uint32_t sessionId;
    const uint32_t samId;
    const std::optional<JsonConfig> description;
    std::atomic<bool> stopRequested{false};
    Utils::WakeEvent wake;
    mutable std::mutex listeningLock;
    std::optional<Listening> listeningFor;
    // Last: the thread starts once everything it uses is made.
    std::future<bool> result;
};

}  // namespace Velk
