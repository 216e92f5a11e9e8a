// ProxyConnection's life: construction from the configuration file, the
// manager check, the periodic task (configuration reload, sweep of ended jobs)
// and the manager's signals, all of which run on the main thread.
#include "proxy/proxy_connection.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "proxy/private_directory.h"
#include "proxy/proxy.h"
#include "utils/strings.h"
#include "utils/users.h"

namespace Velk {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto reloadInterval = std::chrono::seconds(3);
constexpr auto sweepInterval = std::chrono::milliseconds(350);
constexpr auto periodicSleep = std::chrono::milliseconds(150);
constexpr auto busyCheck = std::chrono::milliseconds(3);
constexpr int defaultMaxSessions = 8;

// HOME when it is set, else the account's home; never a shared directory
// such as /tmp, where other users could plant files.
std::filesystem::path userHome() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    const auto account = Utils::getUserInfoById(geteuid());
    return account ? account->home : std::string();
}

}  // namespace

ProxyConnection::ProxyConnection(DBus::Connection& conn, const std::string& configFile,
                                 const char* objectPath, const char* busName)
    : Syslog("velk_proxy"),
      DBus::ObjectProxy(conn, objectPath, busName),
      managerOwner(conn, busName),
      configPath(configFile),
      homePath(userHome()) {
    guardManagerSignals(objectPath, busName);
    const Json::Value value = readJson(configPath);
    if (!value.isObject()) {
        error("%s: json not object, file: %s", "ProxyConnection", configPath.c_str());
        throw velk_error("ProxyConnection");
    }
    config = std::make_shared<const JsonConfig>(value);
    DBus::ObjectProxy::set_timeout(managerCallTimeoutMs);
    servesOneUser = getuid() != 0;
    if (const auto account = Utils::getUserInfoById(getuid())) {
        userName = account->user;
    }
    // Before the manager hears of us: a port another process holds ends the
    // start.
    if (!holdPortOf(*config)) {
        throw velk_error("ProxyConnection");
    }

    if (homePath.empty() || !fs::exists(homePath)) {
        error("%s: home not found, path: `%s', uid: %d", "ProxyConnection", homePath.c_str(),
              static_cast<int>(getuid()));
        throw velk_error("ProxyConnection");
    }
    if (!ensurePrivateDirectory(velkDirectory())) {
        throw velk_error("ProxyConnection");
    }
    setDebugLevel(config->getString("debug:level", "info"));
}

ProxyConnection::~ProxyConnection() {
    stopProxy(StopReason::Destroyed);
    stopListening();
    if (listenJob.valid()) {
        listenJob.wait();
        listenJob = {};
    }
    // The registry, destroyed with the members, ends each job left: its
    // transport is stopped and its files are removed.
    conn().remove_match(managerMatchRule.c_str(), false);
}

// The bus delivers the manager's interface only from the owner of its name,
// and each handler runs only for a message of that owner: any other
// connection on the bus may send a signal of the same interface and path.
void ProxyConnection::guardManagerSignals(const std::string& objectPath, const std::string& busName) {
    const std::string broadRule = "type='signal',interface='" + busName + "',path='" + objectPath + "'";
    managerMatchRule = broadRule + ",sender='" + busName + "'";
    conn().remove_match(broadRule.c_str(), false);
    conn().add_match(managerMatchRule.c_str());
    for (auto& [member, slot] : ru::tavio::velk_proxy::_signals) {
        managerSignals.emplace(member, slot);
        slot = new DBus::Callback<ProxyConnection, void, const DBus::SignalMessage&>(
            this, &ProxyConnection::dispatchManagerSignal);
    }
}

void ProxyConnection::dispatchManagerSignal(const DBus::SignalMessage& signal) {
    const char* member = signal.member();
    if (!managerOwner.sentByManager(signal)) {
        if (const uint64_t more = forgedSignals.heldBack()) {
            warning("%s: %llu more signals dropped", "dispatchManagerSignal",
                    static_cast<unsigned long long>(more));
        }
        if (forgedSignals.allows()) {
            const char* sender = signal.sender();
            warning("%s: signal `%s' dropped, sender: `%s', manager: `%s'", "dispatchManagerSignal",
                    member ? member : "", sender ? sender : "", managerOwner.uniqueName().c_str());
        }
        return;
    }
    const auto handler = managerSignals.find(member ? member : "");
    if (handler != managerSignals.end()) {
        handler->second.call(signal);
    }
}

std::shared_ptr<const JsonConfig> ProxyConnection::currentConfig() const {
    return std::atomic_load(&config);
}

void ProxyConnection::replaceConfig(const Json::Value& value) {
    std::atomic_store(&config, std::make_shared<const JsonConfig>(value));
}

void ProxyConnection::start() {
    umask(027);
    const std::string reply = velkTest();
    if (reply.empty()) {
        notice("%s: check service: %s", "start", "failed");
        checkFailed = true;
        return;
    }
    notice("%s: started, version %s, pid: %d, uid: %d", "start", productVersion("PROXY").c_str(), getpid(),
           static_cast<int>(getuid()));
    // The run flag was raised by the entry before the stop signals could
    // arrive; raising it here would undo a SIGTERM that came during start-up.
    if (!proxyRunning.load()) {
        return;
    }

    serviceNotifier.ready();
    std::thread periodic(&ProxyConnection::periodicTask, this);
    proxyDispatcher.enter();
    serviceNotifier.stopping();
    periodic.join();
    notice("%s: stopped, reason: %s", "start",
           stopReasonText(static_cast<StopReason>(proxyStopReason.load())));
}

bool ProxyConnection::endedOnError() const {
    return checkFailed || static_cast<StopReason>(proxyStopReason.load()) == StopReason::BusLost;
}

void ProxyConnection::periodicTask() {
    auto lastCheck = Clock::now();
    auto lastSweep = lastCheck;
    while (proxyRunning.load()) {
        // With its bus gone the dispatcher has nothing left to wait on and
        // would idle forever while the manager can no longer reach us.
        if (!conn().connected()) {
            error("%s: %s", "PeriodicTask", "dbus connection lost");
            stopProxy(StopReason::BusLost);
            break;
        }
        const auto now = Clock::now();
        if (now - lastCheck > reloadInterval) {
            reloadConfigWatcher();
            lastCheck = now;
        }
        if (now - lastSweep > sweepInterval) {
            sweepStoppedJobs();
            lastSweep = now;
        }
        serviceNotifier.status(serviceStatus());
        serviceNotifier.keepAlive();
        waitForPeriodicEvents();
    }
    proxyDispatcher.leave();
}

// The periodic pause, cut short by a stop, a reload or a report request, or
// by jobs that a signal stopped and that are swept at once.
void ProxyConnection::waitForPeriodicEvents() {
    pollfd events[] = {{proxyStopEvent.fd(), POLLIN, 0},
                       {proxyReloadEvent.fd(), POLLIN, 0},
                       {proxyReportEvent.fd(), POLLIN, 0},
                       {jobsStopped.fd(), POLLIN, 0}};
    if (poll(events, std::size(events), static_cast<int>(periodicSleep.count())) <= 0) {
        return;
    }
    if ((events[3].revents & POLLIN) != 0) {
        jobsStopped.clear();
        sweepStoppedJobs();
    }
    if ((events[1].revents & POLLIN) != 0) {
        proxyReloadEvent.clear();
        reloadOnRequest();
    }
    if ((events[2].revents & POLLIN) != 0) {
        proxyReportEvent.clear();
        reportSessions();
    }
}

// SIGHUP: the file is read now, changed or not, by the watcher's rules.
void ProxyConnection::reloadOnRequest() {
    notice("%s: reload requested", "PeriodicTask");
    serviceNotifier.reloading();
    struct stat st {};
    if (stat(configPath.c_str(), &st) == 0) {
        configModified.exchange(st.st_mtim.tv_sec);
    }
    loadConfigFile("reloadConfigWatcher");
    serviceNotifier.ready();
}

void ProxyConnection::reportSessions() const {
    std::vector<std::string> lines;
    jobs.forEach([&lines](const JobTransfer& job) {
        lines.push_back(job.describe() + (job.isRunning() ? "" : ", ended"));
    });
    notice("%s: sessions running: %zu", "reportSessions", lines.size());
    for (const auto& line : lines) {
        notice("%s: %s", "reportSessions", line.c_str());
    }
}

// The line the service manager shows: what the proxy does right now.
std::string ProxyConnection::serviceStatus() const {
    const size_t running = runningJobs();
    const std::string sessions =
        Utils::joinString(running, running == 1 ? " session" : " sessions", " running");
    const uint32_t listening = listenSessionId.load();
    if (listening == 0) {
        return "idle; " + sessions;
    }
    try {
        const auto cfg = currentConfig();
        const std::string addr = cfg->getString("listen:addr", "0.0.0.0");
        const std::string shown = addr.find(':') == std::string::npos ? addr : "[" + addr + "]";
        return Utils::joinString("listening for session ", listening, " on ", shown, ":",
                                 cfg->getInteger("listen:port", 3389), "; ", sessions);
    } catch (const std::exception&) {
        // The listen job reports the wrong value; the status needs none.
        return Utils::joinString("listening for session ", listening, "; ", sessions);
    }
}

// A job that ended and waits for the sweep holds nothing worth counting.
size_t ProxyConnection::runningJobs() const {
    return jobs.countRunning();
}

// The ended jobs leave the registry under its lock and are destroyed after
// it (RetiredJobs): a transport that ignores SIGTERM holds its job's end for
// seconds, and the manager's signals, which take the lock too, must not wait
// for it.
void ProxyConnection::sweepStoppedJobs() {
    const RetiredJobs ended = jobs.takeEnded();
    for (const auto& job : ended.jobs()) {
        debug("%s: remove job, session id: %u", "PeriodicTask", job.session());
    }
}

bool ProxyConnection::reloadConfigWatcher() {
    struct stat st {};
    if (stat(configPath.c_str(), &st) != 0) {
        error("%s: %s failed, error: %s, code: %d", "reloadConfigWatcher", "stat", strerror(errno), errno);
        return false;
    }
    const time_t modified = st.st_mtim.tv_sec;
    const time_t previous = configModified.exchange(modified);
    if (previous == modified || previous == 0) {
        return false;
    }

    return loadConfigFile("reloadConfigWatcher");
}

// A file that is not a JSON object, or one whose held port cannot be had,
// leaves the configuration in force.
bool ProxyConnection::loadConfigFile(const char* function) {
    const Json::Value value = readJson(configPath);
    if (!value.isObject()) {
        error("%s: json not object, file: %s", function, configPath.c_str());
        return false;
    }
    if (!holdPortOf(JsonConfig(value))) {
        error("%s: the port to hold cannot be bound, configuration in force kept, file: %s", function,
              configPath.c_str());
        return false;
    }
    replaceConfig(value);
    setDebugLevel(currentConfig()->getString("debug:level", "info"));
    notice("%s: %s", function, "success");
    return true;
}

uint32_t ProxyConnection::currentListenTimeout() const {
    const auto configured = static_cast<uint32_t>(currentConfig()->getInteger("listen:timeout", 10));
    return std::max(configured, listenTimeout.load());
}

size_t ProxyConnection::jobMultiSession(const uint32_t& sessionId) const {
    return jobs.countSession(sessionId);
}

void ProxyConnection::signalSessionCreated(const uint32_t& /*sessionId*/) {}

void ProxyConnection::signalSessionConnected(const uint32_t& /*sessionId*/, const uint32_t& /*transportPid*/,
                                             const std::string& /*remoteAddr*/) {}

void ProxyConnection::signalSessionShutdown(const uint32_t& /*sessionId*/) {}

void ProxyConnection::signalTransportDisplaySwitchTo(const int32_t& /*x*/, const int32_t& /*y*/,
                                                     const std::string& /*name*/) {}

void ProxyConnection::signalSessionDisconnected(const uint32_t& sessionId, const uint32_t& transportPid,
                                                const std::string& remoteAddr) {
    notice("%s: session id: %u, pid: %u, remote addr: `%s'", "signalSessionDisconnected", sessionId,
           transportPid, remoteAddr.c_str());
    if (sessionId == listenSessionId.load()) {
        stopListening();
    }
    // Stopped here, destroyed by the periodic task: the main thread never
    // waits for a transport's end, which takes seconds for one that ignores
    // SIGTERM, while the manager's next signals queue behind it.
    if (jobs.stopMatching(sessionId, transportPid) > 0) {
        jobsStopped.raise();
    }
}

void ProxyConnection::signalProxyAllowConnection(const uint32_t& sessionId, const uint32_t& samId) {
    std::optional<JsonConfig> description;
    if (servesOneUser) {
        description = claimAllowance(sessionId);
        if (!description) {
            return;
        }
    }
    try {
        notice("%s: session id: %u, timeout: %u", "signalProxyAllowConnection", sessionId,
               currentListenTimeout());
    } catch (const std::exception& err) {
        // A time-out of the wrong type in the configuration: the listen job
        // reads it again and ends with the error; the D-Bus loop must not.
        error("%s: exception: %s, session id: %u", "signalProxyAllowConnection", err.what(), sessionId);
    }
    if (listenJob.valid() && listenJob.wait_for(busyCheck) != std::future_status::ready) {
        warning("%s: listen transport busy, session id: %u", "signalProxyAllowConnection", sessionId);
        return;
    }
    if (sessionLimitReached(sessionId)) {
        return;
    }
    listenSessionId.exchange(sessionId);
    listenStop.exchange(false);
    listenWake.clear();
    listenJob = std::async(std::launch::async, [this, sessionId, samId, description] {
        const bool created = actionCreateTransport(sessionId, samId, description);
        listenSessionId.exchange(0);
        return created;
    });
}

// Every transfer job holds a transport, two sockets and a thread: their
// number is bounded whatever the allowances say. The manager learns that no
// listener was opened.
bool ProxyConnection::sessionLimitReached(const uint32_t& sessionId) {
    size_t limit = 0;
    try {
        limit = static_cast<size_t>(
            std::max(0, currentConfig()->getInteger("listen:max-sessions", defaultMaxSessions)));
    } catch (const std::exception& err) {
        error("%s: exception: %s, session id: %u", "signalProxyAllowConnection", err.what(), sessionId);
    }
    const size_t running = runningJobs();
    if (running < limit) {
        return false;
    }
    warning("%s: session limit reached, session id: %u, sessions: %zu, limit: %zu",
            "signalProxyAllowConnection", sessionId, running, limit);
    try {
        proxyListenStarted(sessionId, false);
    } catch (const DBus::Error& err) {
        error("%s: dbus error: %s, session id: %u", "signalProxyAllowConnection", err.message(), sessionId);
    }
    return true;
}

void ProxyConnection::stopListening() {
    listenStop.exchange(true);
    listenWake.raise();
}

void ProxyConnection::signalProxyListenTimeout(const uint32_t& seconds) {
    notice("%s: set timeout: %u", "signalProxyListenTimeout", seconds);
    // A port held open for days would let anyone who reaches it take the
    // session, and would turn the manager's next allowances away as busy.
    if (seconds > maxSignalledListenTimeout) {
        warning("%s: timeout capped, requested: %u, timeout: %u", "signalProxyListenTimeout", seconds,
                maxSignalledListenTimeout);
    }
    listenTimeout.exchange(std::min(seconds, maxSignalledListenTimeout));
}

void ProxyConnection::signalVelkStopped() {
    notice("%s, pid: %d", "signalVelkStopped", getpid());
    stopProxy(StopReason::ManagerStopped);
}

}  // namespace Velk
