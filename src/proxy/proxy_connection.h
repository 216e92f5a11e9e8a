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
#include <string>

#include "config.h"
#include "logger.h"
#include "proxy/client_gate.h"
#include "proxy/job_registry.h"
#include "proxy/manager_owner.h"
#include "proxy/rdp_transport.h"
#include "proxy/service_notifier.h"
#include "utils/unique_fd.h"
#include "utils/wake_event.h"
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

    // The listen job: one client, one transport, one transfer job.
    bool actionCreateTransport(const uint32_t& sessionId, const uint32_t& samId);
    // Writes the SAM file when the session asks for one, then starts the
    // transport with prepareX11RdpArgs's arguments.
    TransportHandle requestRdpTransport(const std::string& socketPath, const std::string& samPath,
                                        const uint32_t& sessionId, uint64_t index);
    // samPath is the SAM file written for the transport, empty when none was.
    std::list<std::string> prepareX11RdpArgs(const std::string& socketPath, const std::string& samPath,
                                             const JsonConfig& session, bool ownBuild) const;

    // The configuration in force; readers keep it alive while the periodic
    // task replaces it.
    std::shared_ptr<const JsonConfig> currentConfig() const;
    std::filesystem::path velkDirectory() const { return homePath / ".velk"; }

    // The longest listen time-out the manager may signal, in seconds.
    static constexpr uint32_t maxSignalledListenTimeout = 300;

private:
    // Every handler of the manager's interface runs only for messages of the
    // manager itself; see dispatchManagerSignal.
    void guardManagerSignals(const std::string& objectPath, const std::string& busName);
    void dispatchManagerSignal(const DBus::SignalMessage& signal);
    bool sessionLimitReached(const uint32_t& sessionId);
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
    Utils::UniqueFd openListener(const uint32_t& sessionId);
    GateResult waitForClient(int listenFd, const uint32_t& sessionId) const;
    bool connectTransport(GateResult& admitted, const uint32_t& sessionId, const uint32_t& samId);
    JobFiles jobFiles(const uint32_t& sessionId, const uint32_t& samId, size_t index) const;
    std::string transportSocketPath(const uint32_t& sessionId, size_t index) const;
    Utils::UniqueFd openTransportConnection(const RdpTransport& transport, const std::string& socketPath,
                                            const uint32_t& sessionId);
    // The transport's start (transport_launch.cpp).
    void checkSessionOwner(const JsonConfig& session, const uint32_t& sessionId) const;

    ManagerOwner managerOwner;
    std::map<std::string, DBus::Slot<void, const DBus::SignalMessage&>> managerSignals;
    std::string managerMatchRule;
    std::shared_ptr<const JsonConfig> config;
    JobRegistry jobs;
    std::string configPath;
    std::filesystem::path homePath{"/tmp"};
    std::atomic<time_t> configModified{0};
    std::atomic<uint32_t> listenSessionId{0};
    std::atomic<bool> listenStop{false};
    // Raised with listenStop, so that the listen job's waits end at once.
    Utils::WakeEvent listenWake;
    // The listen job's, for the transport's socket; declared before the job,
    // so that it outlives it.
    SocketDirectoryWatch transportDirectory;
    std::future<bool> listenJob;
    std::atomic<uint32_t> listenTimeout{0};
    // Raised when a signal stopped jobs, so that the sweep takes them out now.
    Utils::WakeEvent jobsStopped;
    bool checkFailed = false;
    ServiceNotifier serviceNotifier;
};

}  // namespace Velk
