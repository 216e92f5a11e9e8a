// See job_registry.h.
#include "proxy/job_registry.h"

#include <algorithm>
#include <iterator>

namespace Velk {

RetiredJobs::RetiredJobs(JobRegistry& from, std::list<JobTransfer> taken)
    : registry(from), retired(std::move(taken)) {
    for (const auto& job : retired) {
        names.push_back(job.transportSocket());
    }
    registry.retiringSockets.insert(names.begin(), names.end());
}

RetiredJobs::~RetiredJobs() {
    retired.clear();
    registry.releaseNames(names);
}

void JobRegistry::releaseNames(const std::vector<std::string>& names) {
    const std::lock_guard<std::mutex> guard(jobsLock);
    for (const auto& name : names) {
        retiringSockets.erase(retiringSockets.find(name));
    }
}

void JobRegistry::add(int clientFd, int transportFd, const JobFiles& files, TransportHandle transport,
                      uint32_t sessionId, const std::string& remote,
                      std::chrono::steady_clock::time_point answerDeadline,
                      const std::function<void()>& announce) {
    const std::lock_guard<std::mutex> guard(jobsLock);
    jobs.emplace_back(loops.pick(), clientFd, transportFd, files.socketPath, files.samPath,
                      std::move(transport), sessionId, remote, answerDeadline);
    announce();
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
        return retiringSockets.count(path) > 0 ||
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

RetiredJobs JobRegistry::takeEnded() {
    std::list<JobTransfer> ended;
    const std::lock_guard<std::mutex> guard(jobsLock);
    for (auto it = jobs.begin(); it != jobs.end();) {
        const auto next = std::next(it);
        if (!it->isRunning()) {
            ended.splice(ended.end(), jobs, it);
        }
        it = next;
    }
    return RetiredJobs(*this, std::move(ended));
}

}  // namespace Velk
