// The proxy's transfer jobs and jobsLock, the one lock that guards them, and
// the reaper their transports go to when they end. Nobody who takes the lock
// waits for a transport or the manager: a job's end hands its transport to
// the reaper, which waits for nothing.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "proxy/job_transfer.h"
#include "proxy/transport_reaper.h"

namespace Velk {

class JobRegistry {
public:
    // Jobs raise `ended` when they end, so that their owner sweeps them.
    explicit JobRegistry(const Utils::WakeEvent& ended) : endedEvent(ended) {}
    // Ends the jobs left, in list order, then waits for their transports.
    ~JobRegistry();
    JobRegistry(const JobRegistry&) = delete;
    JobRegistry& operator=(const JobRegistry&) = delete;

    // A new job in the list (see JobTransfer).
    void add(JobStart start);

    // The session's jobs, running or not.
    size_t countSession(uint32_t sessionId) const;
    size_t countRunning() const;
    // The session's count, or the next index past it whose socket no job
    // holds, in the list or whose transport is still ending.
    size_t freeIndex(uint32_t sessionId, const std::function<std::string(size_t)>& socketPathOf) const;
    // Calls visit with every job while the lock is held.
    void forEach(const std::function<void(const JobTransfer&)>& visit) const;

    // Stops the jobs of the session and transport at once (SIGTERM to the
    // transport, its relay loop told); the next sweep takes them out.
    size_t stopMatching(uint32_t sessionId, uint32_t transportPid);
    // Takes the jobs that have ended out of the list and ends them; their
    // transports go on ending in the reaper. The session ids taken.
    std::vector<uint32_t> sweepEnded();

    // Where the transports of ended jobs are reaped; its owner's loop
    // watches it.
    TransportReaper& transports() { return reaper; }

private:
    const Utils::WakeEvent& endedEvent;
    // Before the jobs: they hand it their transports when destroyed.
    TransportReaper reaper;
    // Before the jobs: they are let go by their loops when destroyed.
    RelayLoops loops;
    std::list<JobTransfer> jobs;
    mutable std::mutex jobsLock;
};

}  // namespace Velk
