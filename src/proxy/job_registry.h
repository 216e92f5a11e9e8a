// The proxy's transfer jobs and jobsLock, the one lock that guards them.
// Jobs leave the list under the lock and are destroyed after it: a job's end
// waits for its transport, seconds for one that ignores SIGTERM, and nobody
// who takes the lock may wait for that.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "proxy/job_transfer.h"

namespace Velk {

class JobRegistry;

// Jobs taken out of the registry. They are destroyed with this object,
// which is never made while the lock is held; their file names stay taken
// until then, so that no new job is given a socket the old one will remove.
class RetiredJobs {
public:
    RetiredJobs(JobRegistry& from, std::list<JobTransfer> taken);
    ~RetiredJobs();
    RetiredJobs(const RetiredJobs&) = delete;
    RetiredJobs& operator=(const RetiredJobs&) = delete;

    const std::list<JobTransfer>& jobs() const { return retired; }

private:
    JobRegistry& registry;
    std::list<JobTransfer> retired;
    std::vector<std::string> names;
};

class JobRegistry {
public:
    JobRegistry() = default;
    // Destroys the jobs left, in list order; the lock is not taken.
    ~JobRegistry() { jobs.clear(); }
    JobRegistry(const JobRegistry&) = delete;
    JobRegistry& operator=(const JobRegistry&) = delete;

    // Creates the job in the list and calls announce with it while the lock
    // is held, so that no sweep removes it before the manager has heard of it.
    // A transport that has not answered by answerDeadline ends its job (see
    // JobTransfer).
    void add(int clientFd, int transportFd, const JobFiles& files, TransportHandle transport,
             uint32_t sessionId, const std::string& remote,
             std::chrono::steady_clock::time_point answerDeadline, const std::function<void()>& announce);

    // The session's jobs, running or not.
    size_t countSession(uint32_t sessionId) const;
    size_t countRunning() const;
    // The session's count, or the next index past it whose socket no job
    // holds, in the list or being destroyed.
    size_t freeIndex(uint32_t sessionId, const std::function<std::string(size_t)>& socketPathOf) const;
    // Calls visit with every job while the lock is held.
    void forEach(const std::function<void(const JobTransfer&)>& visit) const;

    // Stops the jobs of the session and transport at once (SIGTERM to the
    // transport, its relay loop told); the next sweep takes them out.
    size_t stopMatching(uint32_t sessionId, uint32_t transportPid);
    // The jobs that have ended, out of the list.
    RetiredJobs takeEnded();

private:
    friend class RetiredJobs;
    void releaseNames(const std::vector<std::string>& names);

    // Before the jobs: they are let go by their loops when destroyed.
    RelayLoops loops;
    std::list<JobTransfer> jobs;
    mutable std::mutex jobsLock;
    // Socket paths of jobs being destroyed outside the lock.
    std::multiset<std::string> retiringSockets;
};

}  // namespace Velk
