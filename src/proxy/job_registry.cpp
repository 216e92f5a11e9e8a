// See job_registry.h.
#include "proxy/job_registry.h"

#include <algorithm>

namespace Velk {

JobRegistry::~JobRegistry() {
    jobs.clear();
}

void JobRegistry::add(JobStart start) {
    const std::lock_guard<std::mutex> guard(jobsLock);
    jobs.emplace_back(loops.pick(), reaper, endedEvent, std::move(start));
}

size_t JobRegistry::countSession(uint32_t sessionId) const {
    const std::lock_guard<std::mutex> guard(jobsLock);
    return static_cast<size_t>(std::count_if(jobs.begin(), jobs.end(), [sessionId](const JobTransfer& job) {
        return job.session() == sessionId;
    }));
}

size_t JobRegistry::countRunning() const {
    const std::lock_guard<std::mutex> guard(jobsLock);
    return static_cast<size_t>(
        std::count_if(jobs.begin(), jobs.end(), [](const JobTransfer& job) { return job.isRunning(); }));
}

size_t JobRegistry::freeIndex(uint32_t sessionId,
                              const std::function<std::string(size_t)>& socketPathOf) const {
    size_t index = countSession(sessionId);
    const std::lock_guard<std::mutex> guard(jobsLock);
    const auto taken = [&](size_t candidate) {
        const std::string path = socketPathOf(candidate);
        return reaper.holdsFile(path) ||
               std::any_of(jobs.begin(), jobs.end(),
                           [&path](const JobTransfer& job) { return job.transportSocket() == path; });
    };
    while (taken(index)) {
        ++index;
    }
    return index;
}

void JobRegistry::forEach(const std::function<void(const JobTransfer&)>& visit) const {
    const std::lock_guard<std::mutex> guard(jobsLock);
    for (const auto& job : jobs) {
        visit(job);
    }
}

size_t JobRegistry::stopMatching(uint32_t sessionId, uint32_t transportPid) {
    const std::lock_guard<std::mutex> guard(jobsLock);
    size_t stopped = 0;
    for (auto& job : jobs) {
        if (job.session() == sessionId && static_cast<uint32_t>(job.transportPid()) == transportPid) {
            job.stop();
            ++stopped;
        }
    }
    return stopped;
}

// Ended under the lock, so that no job is between the list and the reaper
// while a new one looks for a free socket name: that takes no longer than
// its relay loop's letting it go, since the wait for its transport is the
// reaper's.
std::vector<uint32_t> JobRegistry::sweepEnded() {
    std::vector<uint32_t> sessions;
    const std::lock_guard<std::mutex> guard(jobsLock);
    for (auto it = jobs.begin(); it != jobs.end();) {
        if (it->isRunning()) {
            ++it;
            continue;
        }
        sessions.push_back(it->session());
        it = jobs.erase(it);
    }
    return sessions;
}

}  // namespace Velk
