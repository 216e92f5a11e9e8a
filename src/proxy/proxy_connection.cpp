// ProxyConnection's life: construction from the configuration file, the
// manager check, the periodic task (configuration reload, sweep of ended jobs)
// and the manager's signals, all of which run on the main thread.
#include "proxy/proxy_connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "proxy/proxy.h"

namespace Velk {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto reloadInterval = std::chrono::seconds(3);
constexpr auto sweepInterval = std::chrono::milliseconds(350);
constexpr auto periodicSleep = std::chrono::milliseconds(150);
constexpr auto busyCheck = std::chrono::milliseconds(3);

// Moves the jobs that match out of the list; they are destroyed by the caller
// while it still holds the lock.
template <typename Predicate>
std::list<JobTransfer> extractJobs(std::list<JobTransfer>& jobs, Predicate matches) {
    std::list<JobTransfer> removed;
    for (auto it = jobs.begin(); it != jobs.end();) {
        auto next = std::next(it);
        if (matches(*it)) {
            removed.splice(removed.end(), jobs, it);
        }
        it = next;
    }
    return removed;
}

}  // namespace

ProxyConnection::ProxyConnection(DBus::Connection& conn, const std::string& configFile,
                                 const char* objectPath, const char* busName)
    : Syslog("velk_proxy"), DBus::ObjectProxy(conn, objectPath, busName), configPath(configFile) {
    const Json::Value value = readJson(configPath);
    if (!value.isObject()) {
        error("%s: json not object, file: %s", "ProxyConnection", configPath.c_str());
        throw velk_error("ProxyConnection");
    }
    config = std::make_shared<const JsonConfig>(value);

    if (const char* home = std::getenv("HOME")) {
        homePath = home;
    }
    if (!fs::exists(homePath)) {
        error("%s: home not found, path: `%s', uid: %d", "ProxyConnection", homePath.c_str(),
              static_cast<int>(getuid()));
        throw velk_error("ProxyConnection");
    }
    if (!fs::is_directory(velkDirectory())) {
        fs::create_directory(velkDirectory());
    }
    setDebugLevel(config->getString("debug:level", "info"));
}

ProxyConnection::~ProxyConnection() {
    proxyRunning.exchange(false);
    listenStop.exchange(true);
    if (listenJob.valid()) {
        listenJob.wait();
        listenJob = {};
    }
    // Each job stops its transport and removes its files.
    jobs.clear();
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
        return;
    }
    notice("%s: started, version %s, pid: %d, uid: %d", "start", productVersion("PROXY").c_str(), getpid(),
           static_cast<int>(getuid()));
    // The run flag was raised by the entry before the stop signals could
    // arrive; raising it here would undo a SIGTERM that came during start-up.
    if (!proxyRunning.load()) {
        return;
    }

    std::thread periodic(&ProxyConnection::periodicTask, this);
    proxyDispatcher.enter();
    periodic.join();
}

void ProxyConnection::periodicTask() {
    auto lastCheck = Clock::now();
    auto lastSweep = lastCheck;
    while (proxyRunning.load()) {
        // With its bus gone the dispatcher has nothing left to wait on and
        // would idle forever while the manager can no longer reach us.
        if (!conn().connected()) {
            error("%s: %s", "PeriodicTask", "dbus connection lost");
            proxyRunning.exchange(false);
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
        std::this_thread::sleep_for(periodicSleep);
    }
    proxyDispatcher.leave();
}

void ProxyConnection::sweepStoppedJobs() {
    const std::lock_guard<std::mutex> guard(jobsLock);
    for (const auto& job : jobs) {
        if (!job.isRunning()) {
            debug("%s: remove job, session id: %u", "PeriodicTask", job.session());
        }
    }
    extractJobs(jobs, [](const JobTransfer& job) { return !job.isRunning(); });
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

    const Json::Value value = readJson(configPath);
    if (!value.isObject()) {
        error("%s: json not object, file: %s", "reloadConfigWatcher", configPath.c_str());
        return false;
    }
    replaceConfig(value);
    setDebugLevel(currentConfig()->getString("debug:level", "info"));
    notice("%s: %s", "reloadConfigWatcher", "success");
    return true;
}

uint32_t ProxyConnection::currentListenTimeout() const {
    const auto configured = static_cast<uint32_t>(currentConfig()->getInteger("listen:timeout", 10));
    return std::max(configured, listenTimeout.load());
}

size_t ProxyConnection::jobMultiSession(const uint32_t& sessionId) const {
    const std::lock_guard<std::mutex> guard(jobsLock);
    return static_cast<size_t>(std::count_if(jobs.begin(), jobs.end(), [&sessionId](const JobTransfer& job) {
        return job.session() == sessionId;
    }));
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
    const std::lock_guard<std::mutex> guard(jobsLock);
    extractJobs(jobs, [&](const JobTransfer& job) {
        return job.session() == sessionId && static_cast<uint32_t>(job.transportPid()) == transportPid;
    });
    if (sessionId == listenSessionId.load()) {
        listenStop.exchange(true);
    }
}

void ProxyConnection::signalProxyAllowConnection(const uint32_t& sessionId, const uint32_t& samId) {
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
    listenSessionId.exchange(sessionId);
    listenStop.exchange(false);
    listenJob = std::async(std::launch::async, [this, sessionId, samId] {
        const bool created = actionCreateTransport(sessionId, samId);
        listenSessionId.exchange(0);
        return created;
    });
}

void ProxyConnection::signalProxyListenTimeout(const uint32_t& seconds) {
    notice("%s: set timeout: %u", "signalProxyListenTimeout", seconds);
    listenTimeout.exchange(seconds);
}

void ProxyConnection::signalVelkStopped() {
    notice("%s, pid: %d", "signalVelkStopped", getpid());
    proxyRunning.exchange(false);
}

}  // namespace Velk
