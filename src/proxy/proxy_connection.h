// The proxy's one long-lived object: the manager's D-Bus client with its
// signals, the owner of the configuration (reloaded when the file changes),
// of the listen job and of the job registry, which a periodic task sweeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "logger.h"
#include "proxy/client_gate.h"
#include "proxy/client_listener.h"
#include "proxy/job_registry.h"
#include "proxy/log_budget.h"
#include "proxy/manager_owner.h"
#include "proxy/rdp_transport.h"
#include "proxy/service_notifier.h"
#include "proxy/wake_event.h"
#include "utils/unique_fd.h"
#include "velk_proxy_glue.h"

namespace Velk {

class ProxyConnection : public Syslog,
                        public ru::tavio::velk_proxy,
                        public DBus::IntrospectableProxy,
                        public DBus::ObjectProxy {
public:
    // Throws velk_error("ProxyConnection") when the configuration is not a
    // JSON object, the home directory is missing or its ".velk" is not the
    // user's alone; filesystem errors pass.
    ProxyConnection(DBus::Connection& conn, const std::string& configFile, const char* objectPath,
                    const char* busName);
    ~ProxyConnection() override;

    ProxyConnection(const ProxyConnection&) = delete;
    ProxyConnection& operator=(const ProxyConnection&) = delete;

    // Checks the manager, then runs the D-Bus loop until the proxy stops.
    void start();
    // After start: the manager's check failed or the bus was lost.
    bool endedOnError() const;

    void signalSessionCreated(const uint32_t& sessionId) override;
    void signalSessionConnected(const uint32_t& sessionId, const uint32_t& transportPid,
                                const std::string& remoteAddr) override;
    void signalSessionShutdown(const uint32_t& sessionId) override;
    void signalTransportDisplaySwitchTo(const int32_t& x, const int32_t& y, const std::string& name) override;
    void signalSessionDisconnected(const uint32_t& sessionId, const uint32_t& transportPid,
                                   const std::string& remoteAddr) override;
    void signalProxyAllowConnection(const uint32_t& sessionId, const uint32_t& samId) override;
    void signalProxyListenTimeout(const uint32_t& seconds) override;
    void signalVelkStopped() override;

    // True when a changed, valid configuration file was loaded.
    bool reloadConfigWatcher();
    // The larger of "listen:timeout" and the signalled time-out, as unsigned.
    uint32_t currentListenTimeout() const;
    // Transfer jobs of the session, running or not.
    size_t jobMultiSession(const uint32_t& sessionId) const;

    // The listen job: one client, one transport, one transfer job. The
    // session's description is asked for once a client came, unless the
    // allowance brought it.
    bool actionCreateTransport(const uint32_t& sessionId, const uint32_t& samId,
                               const std::optional<JsonConfig>& description = std::nullopt);
    // Writes the SAM file when the session asks for one, then starts the
    // transport with prepareX11RdpArgs's arguments.
    TransportHandle requestRdpTransport(const std::string& socketPath, const std::string& samPath,
                                        const JsonConfig& session, const uint32_t& sessionId, uint64_t index);
    // The session's description (the one given, else the manager's) checked for what goes into files and
    // arguments; throws velk_error("requestRdpTransport") after an error line
    // when it holds what may not.
    JsonConfig transportDescription(const uint32_t& sessionId, const std::optional<JsonConfig>& description);
    // samPath is the SAM file written for the transport, empty when none was.
    std::list<std::string> prepareX11RdpArgs(const std::string& socketPath, const std::string& samPath,
                                             const JsonConfig& session, bool ownBuild) const;

    // The configuration in force; readers keep it alive while the periodic
    // task replaces it.
    std::shared_ptr<const JsonConfig> currentConfig() const;
    std::filesystem::path velkDirectory() const { return homePath / ".velk"; }

    // The longest listen time-out the manager may signal, in seconds.
    static constexpr uint32_t maxSignalledListenTimeout = 300;
    // How long any call to the manager may take before it counts as failed.
    static constexpr int managerCallTimeoutMs = 5000;

private:
    // Every handler of the manager's interface runs only for messages of the
    // manager itself; see dispatchManagerSignal.
    void guardManagerSignals(const std::string& objectPath, const std::string& busName);
    void dispatchManagerSignal(const DBus::SignalMessage& signal);
    bool sessionLimitReached(const uint32_t& sessionId);
    // The description of a session this proxy serves; nothing when the
    // allowance is another user's (or the manager keeps the session from
    // us), or the session is refused.
    std::optional<JsonConfig> claimAllowance(const uint32_t& sessionId);
    std::optional<JsonConfig> askSessionDescription(const uint32_t& sessionId);
    // With "listen:hold-port": the configuration's port bound, the one held
    // before kept when it is the same; false after an error line when it
    // cannot be bound.
    bool holdPortOf(const JsonConfig& cfg);
    void stopListening();
    void periodicTask();
    void waitForPeriodicEvents();
    void reloadOnRequest();
    bool loadConfigFile(const char* function);
    void reportSessions() const;
    std::string serviceStatus() const;
    size_t runningJobs() const;
    void sweepStoppedJobs();
    void replaceConfig(const Json::Value& value);

    // The listen job's steps (listen_job.cpp).
    std::shared_ptr<ClientListener> openListener(const uint32_t& sessionId);
    GateResult waitForClient(const std::vector<int>& listenFds, const uint32_t& sessionId) const;
    bool connectTransport(GateResult& admitted, const uint32_t& sessionId, const uint32_t& samId,
                          const std::optional<JsonConfig>& description);
    JobFiles jobFiles(const uint32_t& sessionId, const uint32_t& samId, size_t index) const;
    std::string transportSocketPath(const uint32_t& sessionId, size_t index) const;
    Utils::UniqueFd openTransportConnection(const RdpTransport& transport, const std::string& socketPath,
                                            const uint32_t& sessionId);
    ManagerOwner managerOwner;
    std::map<std::string, DBus::Slot<void, const DBus::SignalMessage&>> managerSignals;
    std::string managerMatchRule;
    std::shared_ptr<const JsonConfig> config;
    JobRegistry jobs;
    std::string configPath;
    std::filesystem::path homePath{"/tmp"};
    // An ordinary user's proxy serves that user's sessions alone; root's,
    // started without --user, whomever the manager names.
    bool servesOneUser = false;
    std::string userName;
    // With "listen:hold-port": the port bound from the start on, listened on
    // during an allowance only.
    std::shared_ptr<ClientListener> heldListener;
    LogBudget forgedSignals;
    std::atomic<time_t> configModified{0};
    std::atomic<uint32_t> listenSessionId{0};
    std::atomic<bool> listenStop{false};
    // Raised with listenStop, so that the listen job's waits end at once.
    WakeEvent listenWake;
    // The listen job's, for the transport's socket; declared before the job,
    // so that it outlives it.
    SocketDirectoryWatch transportDirectory;
    std::future<bool> listenJob;
    std::atomic<uint32_t> listenTimeout{0};
    // Raised when a signal stopped jobs, so that the sweep takes them out now.
    WakeEvent jobsStopped;
    bool checkFailed = false;
    ServiceNotifier serviceNotifier;
};

}  // namespace Velk
