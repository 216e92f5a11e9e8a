// The proxy's one long-lived object: the manager's D-Bus client with its
// signals, the owner of the configuration (reloaded when the file changes),
// of the listen job and of the job registry. Everything it does between two
// events happens on the main thread's loop, which sleeps while nothing does.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "logger.h"
#include "proxy/client_listener.h"
#include "proxy/config_watch.h"
#include "proxy/job_registry.h"
#include "proxy/listen_job.h"
#include "proxy/log_budget.h"
#include "proxy/manager_calls.h"
#include "proxy/manager_owner.h"
#include "proxy/rdp_transport.h"
#include "proxy/service_notifier.h"
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
    // user's alone, or the port to hold is taken; filesystem errors pass.
    ProxyConnection(DBus::Connection& conn, const std::string& configFile, const char* objectPath,
                    const char* busName);
    ~ProxyConnection() override;

    ProxyConnection(const ProxyConnection&) = delete;
    ProxyConnection& operator=(const ProxyConnection&) = delete;

    // Checks the manager, then runs the main loop until the proxy stops.
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

    // Takes the changes the file watch saw; true when the file changed and
    // passed the check, and is now in force.
    bool reloadConfigWatcher();
    // The larger of "listen:timeout" and the signalled time-out, as unsigned.
    uint32_t currentListenTimeout() const;
    // Transfer jobs of the session, running or not.
    size_t jobMultiSession(const uint32_t& sessionId) const;

    // Writes the SAM file when the session asks for one, then starts the
    // transport with prepareX11RdpArgs's arguments.
    TransportHandle requestRdpTransport(const std::string& socketPath, const std::string& samPath,
                                        const JsonConfig& session, const uint32_t& sessionId, uint64_t index);
    // The session's description (the one given, else the manager's) checked
    // for what goes into files and arguments; throws
    // velk_error("requestRdpTransport") after an error line when it holds
    // what may not.
    JsonConfig transportDescription(const uint32_t& sessionId, const std::optional<JsonConfig>& description);
    // samPath is the SAM file written for the transport, empty when none was.
    std::list<std::string> prepareX11RdpArgs(const std::string& socketPath, const std::string& samPath,
                                             const JsonConfig& session, bool ownBuild) const;

    // The configuration in force; readers keep it alive while a reload
    // replaces it.
    std::shared_ptr<const JsonConfig> currentConfig() const;
    std::filesystem::path velkDirectory() const { return homePath / ".velk"; }
    // The manager's methods, for the worker threads.
    ManagerCalls& manager() { return managerCalls; }

    // The longest listen time-out the manager may signal, in seconds.
    static constexpr uint32_t maxSignalledListenTimeout = 300;
    // How long any call to the manager may take before it counts as failed.
    static constexpr int managerCallTimeoutMs = 5000;

private:
    // An allowance of this proxy's, with the description when it was asked
    // for before anything opened.
    struct Allowance {
        uint32_t sessionId;
        uint32_t samId;
        std::optional<JsonConfig> description;
    };

    // Every handler of the manager's interface runs only for messages of the
    // manager itself; see dispatchManagerSignal.
    void guardManagerSignals(const std::string& objectPath, const std::string& busName);
    void dispatchManagerSignal(const DBus::SignalMessage& signal);
    // The main loop: what wakes it, and what each wake-up does.
    void runMainLoop();
    void afterLoopTurn();
    void takeClaimedAllowances();
    void startListenJob(Allowance allowance);
    // The claim of an allowance on a thread of its own (a manager's call),
    // its answer queued for the main loop.
    void claimInBackground(uint32_t sessionId, uint32_t samId);
    // The description of a session this proxy serves; nothing when the
    // allowance is another user's (or the manager keeps the session from
    // us), or the session is refused.
    std::optional<JsonConfig> claimAllowance(const uint32_t& sessionId);
    std::optional<JsonConfig> askSessionDescription(const uint32_t& sessionId);
    // With "listen:hold-port": the configuration's port bound, the one held
    // before kept when it is the same; false after an error line when it
    // cannot be bound.
    bool holdPortOf(const JsonConfig& cfg);
    void reloadOnRequest();
    bool loadConfigFile(const char* function);
    void replaceConfig(const Json::Value& value);
    void reportSessions() const;
    // What --status prints: one JSON object.
    std::string statusReport() const;
    void updateStatus();
    std::string serviceStatus() const;
    void sweepStoppedJobs();
    void keepAlive();

    ManagerOwner managerOwner;
    ManagerCalls managerCalls;
    std::map<std::string, DBus::Slot<void, const DBus::SignalMessage&>> managerSignals;
    std::string managerMatchRule;
    std::shared_ptr<const JsonConfig> config;
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
    std::atomic<uint32_t> listenTimeout{0};
    ConfigWatch configWatch;
    // Raised when a job or the listen job has ended, or an allowance was
    // claimed: the main loop looks then.
    Utils::WakeEvent changed;
    JobRegistry jobs{changed};
    // The listen job's, for the transport's socket; one for the proxy's life.
    SocketDirectoryWatch transportDirectory;
    std::unique_ptr<ListenJob> listenJob;
    // Claims in flight, and the allowances they found to be this proxy's.
    std::list<std::future<void>> claims;
    std::mutex claimedLock;
    std::vector<Allowance> claimed;
    bool checkFailed = false;
    ServiceNotifier serviceNotifier;
};

}  // namespace Velk
