// ProxyConnection's life: construction from the configuration file, the
// manager check, the main loop and the manager's signals, all of which run on
// the main thread. Nothing on it waits for the manager or a transport: calls
// to the manager run on the threads of the claims and the listen job, and
// ended transports are reaped as their pidfds say.
#include "proxy/proxy_connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "proxy/config_check.h"
#include "proxy/main_loop.h"
#include "proxy/private_directory.h"
#include "proxy/proxy.h"
#include "proxy/status_socket.h"
#include "utils/strings.h"
#include "utils/users.h"

namespace Velk {

namespace fs = std::filesystem;

namespace {

constexpr int defaultMaxSessions = 8;

}  // namespace

ProxyConnection::ProxyConnection(DBus::Connection& conn, const std::string& configFile,
                                 const char* objectPath, const char* busName)
    : Syslog("velk_proxy"),
      DBus::ObjectProxy(conn, objectPath, busName),
      managerOwner(conn, busName),
      managerCalls(busName, objectPath, managerCallTimeoutMs),
      configPath(configFile),
      homePath(proxyHome()),
      configWatch(configFile) {
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
    // The claims' calls end within the manager's time-out.
    claims.clear();
    listenJob.reset();
    // The registry, destroyed with the members, ends each job left and waits
    // for its transport.
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
    runMainLoop();
    serviceNotifier.stopping();
    notice("%s: stopped, reason: %s", "start",
           stopReasonText(static_cast<StopReason>(proxyStopReason.load())));
}

bool ProxyConnection::endedOnError() const {
    return checkFailed || static_cast<StopReason>(proxyStopReason.load()) == StopReason::BusLost;
}

// Every descriptor that can give the proxy work, and the keep-alive timer
// when the unit asks for one; between them the loop sleeps.
void ProxyConnection::runMainLoop() {
    DBus::DefaultMainLoop& loop = proxyDispatcher;
    const LoopWatch reload(loop, proxyReloadEvent.fd(), [this] { reloadOnRequest(); });
    const LoopWatch report(loop, proxyReportEvent.fd(), [this] {
        proxyReportEvent.clear();
        reportSessions();
    });
    const LoopWatch change(loop, changed.fd(), [this] {
        changed.clear();
        sweepStoppedJobs();
        takeClaimedAllowances();
    });
    const LoopWatch transports(loop, jobs.transports().fd(), [this] { jobs.transports().onReady(); });
    const LoopWatch file(loop, configWatch.fd(), [this] { reloadConfigWatcher(); });
    const StatusSocket status(statusSocketPath(velkDirectory().string()), [this] { return statusReport(); });
    std::optional<LoopWatch> statusWatch;
    if (status.fd() >= 0) {
        statusWatch.emplace(loop, status.fd(), [&status] { status.answer(); });
    }
    std::optional<LoopTimer> watchdog;
    if (const auto interval = serviceNotifier.keepAliveInterval()) {
        watchdog.emplace(loop, *interval, [this] { keepAlive(); });
    }
    proxyDispatcher.afterTurn = [this] { afterLoopTurn(); };
    updateStatus();
    proxyDispatcher.enter();
    proxyDispatcher.afterTurn = nullptr;
}

// With its bus gone the loop would sleep for ever while the manager can no
// longer reach us.
void ProxyConnection::afterLoopTurn() {
    if (proxyRunning.load() && !conn().connected()) {
        error("%s: %s", "start", "dbus connection lost");
        stopProxy(StopReason::BusLost);
    }
}

void ProxyConnection::keepAlive() {
    serviceNotifier.keepAlive();
}

// SIGHUP: the file is read now, changed or not, and checked as at a start.
void ProxyConnection::reloadOnRequest() {
    proxyReloadEvent.clear();
    notice("%s: reload requested", "reloadConfigWatcher");
    loadConfigFile("reloadConfigWatcher");
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

std::string ProxyConnection::statusReport() const {
    Json::Value report(Json::objectValue);
    report["pid"] = static_cast<Json::Int>(getpid());
    report["user"] = userName;
    std::error_code ec;
    report["config"] = fs::weakly_canonical(configPath, ec).string();
    const std::optional<Listening> listening = listenJob ? listenJob->listening() : std::nullopt;
    if (listening) {
        Json::Value& what = report["listening"];
        what["session"] = listening->sessionId;
        what["address"] = listening->address;
        what["port"] = listening->port;
        what["seconds_left"] = static_cast<Json::Int64>(std::max<int64_t>(
            0, std::chrono::ceil<std::chrono::seconds>(listening->until - std::chrono::steady_clock::now())
                   .count()));
    } else {
        report["listening"] = Json::Value();
    }
    Json::Value& sessions = report["sessions"] = Json::Value(Json::arrayValue);
    jobs.forEach([&sessions](const JobTransfer& job) {
        const SessionFacts& facts = job.sessionFacts();
        const SessionTotals totals = job.totals();
        Json::Value& session = sessions.append(Json::Value(Json::objectValue));
        session["session"] = facts.sessionId;
        session["client_address"] = facts.clientAddress;
        session["client_port"] = facts.clientPort;
        session["transport_pid"] = static_cast<Json::Int>(facts.transportPid);
        session["seconds"] = static_cast<Json::Int64>(totals.seconds);
        session["bytes_from_client"] = static_cast<Json::UInt64>(totals.bytesFromClient);
        session["bytes_to_client"] = static_cast<Json::UInt64>(totals.bytesToClient);
    });
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    return Json::writeString(writer, report) + "\n";
}

void ProxyConnection::updateStatus() {
    serviceNotifier.status(serviceStatus());
}

// The line the service manager shows: what the proxy does right now.
std::string ProxyConnection::serviceStatus() const {
    const size_t running = jobs.countRunning();
    const std::string sessions =
        Utils::joinString(running, running == 1 ? " session" : " sessions", " running");
    if (!listenJob || listenJob->finished()) {
        return "idle; " + sessions;
    }
    const uint32_t listening = listenJob->session();
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

// Ended jobs leave the registry now; their transports end in its reaper,
// which the loop watches, so no signal of the manager waits for them.
void ProxyConnection::sweepStoppedJobs() {
    for (const uint32_t sessionId : jobs.sweepEnded()) {
        debug("%s: remove job, session id: %u", "sweepStoppedJobs", sessionId);
    }
    updateStatus();
}

bool ProxyConnection::reloadConfigWatcher() {
    if (!configWatch.takeChanges()) {
        return false;
    }
    return loadConfigFile("reloadConfigWatcher");
}

// The file replaces the configuration in force only when it passes the
// check of --check-config whole, and its held port can be had; either way
// the service manager hears that the proxy is ready again.
bool ProxyConnection::loadConfigFile(const char* function) {
    serviceNotifier.reloading();
    const std::vector<std::string> problems = checkProxyConfig(configPath);
    bool loaded = false;
    if (!problems.empty()) {
        for (const auto& problem : problems) {
            error("%s: %s", function, problem.c_str());
        }
    } else if (const Json::Value value = readJson(configPath); holdPortOf(JsonConfig(value))) {
        replaceConfig(value);
        setDebugLevel(currentConfig()->getString("debug:level", "info"));
        notice("%s: %s", function, "success");
        loaded = true;
    }
    if (!loaded) {
        error("%s: configuration refused, the one in force is kept, file: %s", function, configPath.c_str());
    }
    serviceNotifier.ready();
    return loaded;
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
    if (listenJob && listenJob->session() == sessionId) {
        listenJob->stop();
    }
    // Stopped here, swept at the loop's next turn: the jobs raise the
    // change when their copy is over.
    jobs.stopMatching(sessionId, transportPid);
}

// Every user's proxy hears every allowance. A user's proxy asks whose it is
// on a thread of its own, so that the loop never waits for the manager.
void ProxyConnection::signalProxyAllowConnection(const uint32_t& sessionId, const uint32_t& samId) {
    if (!servesOneUser) {
        startListenJob({sessionId, samId, std::nullopt});
        return;
    }
    claims.remove_if([](const std::future<void>& claim) {
        return claim.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
    claims.push_back(
        std::async(std::launch::async, [this, sessionId, samId] { claimInBackground(sessionId, samId); }));
}

void ProxyConnection::claimInBackground(uint32_t sessionId, uint32_t samId) {
    std::optional<JsonConfig> description = claimAllowance(sessionId);
    if (!description) {
        return;
    }
    const std::lock_guard<std::mutex> guard(claimedLock);
    claimed.push_back({sessionId, samId, std::move(description)});
    changed.raise();
}

void ProxyConnection::takeClaimedAllowances() {
    std::vector<Allowance> taken;
    {
        const std::lock_guard<std::mutex> guard(claimedLock);
        taken.swap(claimed);
    }
    for (auto& allowance : taken) {
        startListenJob(std::move(allowance));
    }
}

void ProxyConnection::startListenJob(Allowance allowance) {
    const uint32_t sessionId = allowance.sessionId;
    try {
        notice("%s: session id: %u, timeout: %u", "signalProxyAllowConnection", sessionId,
               currentListenTimeout());
    } catch (const std::exception& err) {
        // A time-out of the wrong type in the configuration: the listen job
        // reads it again and ends with the error; the D-Bus loop must not.
        error("%s: exception: %s, session id: %u", "signalProxyAllowConnection", err.what(), sessionId);
    }
    if (listenJob && !listenJob->finished()) {
        warning("%s: listen transport busy, session id: %u", "signalProxyAllowConnection", sessionId);
        return;
    }
    int limit = defaultMaxSessions;
    try {
        limit = std::max(0, currentConfig()->getInteger("listen:max-sessions", defaultMaxSessions));
    } catch (const std::exception& err) {
        error("%s: exception: %s, session id: %u", "signalProxyAllowConnection", err.what(), sessionId);
    }
    listenJob.reset();
    listenJob = std::make_unique<ListenJob>(
        ListenContext{*this, jobs, transportDirectory, changed, std::atomic_load(&heldListener),
                      static_cast<size_t>(limit)},
        sessionId, allowance.samId, std::move(allowance.description));
    updateStatus();
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
