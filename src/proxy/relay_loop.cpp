// See relay_loop.h.
#include "proxy/relay_loop.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

#include "logger.h"

namespace Velk {

namespace {

constexpr int eventsPerWait = 64;
// A loop that used more of a CPU than this since the last judgement is busy.
constexpr double busyShare = 0.5;

// A splice into a socket whose peer has gone raises SIGPIPE in the thread
// that made it (send has MSG_NOSIGNAL, splice has nothing like it); blocked
// here, it stays with this thread and ends with it.
void blockPipeSignal() {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
}

size_t usableCpus() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof(cpus), &cpus) != 0) {
        return 1;
    }
    return static_cast<size_t>(std::max(1, CPU_COUNT(&cpus)));
}

}  // namespace

RelayLoop::RelayLoop(std::chrono::milliseconds idle) : idleLife(idle), epollFd(epoll_create1(EPOLL_CLOEXEC)) {
    if (!epollFd.valid()) {
        throw std::system_error(errno, std::generic_category(), "epoll_create1");
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the loop's own wake-up
    if (epoll_ctl(epollFd.get(), EPOLL_CTL_ADD, wake.fd(), &event) != 0) {
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
}

RelayLoop::~RelayLoop() {
    stopping.store(true);
    wake.raise();
    if (thread.joinable()) {
        thread.join();
    }
}

void RelayLoop::attach(RelayChannel& channel) {
    {
        const std::lock_guard<std::mutex> guard(requestsLock);
        toAttach.push_back(&channel);
        requestsPosted.store(true);
        if (!running) {
            // A thread that ended while idle has returned already.
            if (thread.joinable()) {
                thread.join();
            }
            running = true;
            thread = std::thread(&RelayLoop::run, this);
        }
    }
    wake.raise();
}

bool RelayLoop::threadRunning() {
    const std::lock_guard<std::mutex> guard(requestsLock);
    return running;
}

bool RelayLoop::endWhileIdle() {
    const std::lock_guard<std::mutex> guard(requestsLock);
    if (!toAttach.empty() || !attached.empty()) {
        return false;
    }
    running = false;
    // An idle proxy keeps none of the sessions' read buffer.
    std::vector<uint8_t>().swap(buffer);
    return true;
}

void RelayLoop::detach(RelayChannel& channel) {
    std::unique_lock<std::mutex> guard(requestsLock);
    toDetach.insert(&channel);
    requestsPosted.store(true);
    wake.raise();
    letGo.wait(guard, [&] { return ended || toDetach.count(&channel) == 0; });
}

void RelayLoop::watch(RelayWatch& watch, uint32_t events) {
    if (events == watch.events) {
        return;
    }
    epoll_event event{};
    event.events = events;
    event.data.ptr = &watch;
    const int operation = watch.events == 0 ? EPOLL_CTL_ADD : events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    if (epoll_ctl(epollFd.get(), operation, watch.fd, &event) != 0) {
        Syslog::error("%s: %s failed, error: %s, code: %d", "RelayLoop", "epoll_ctl", strerror(errno), errno);
        return;
    }
    watch.events = events;
}

void RelayLoop::keepLooking(RelayChannel& channel) {
    if (std::find(lookers.begin(), lookers.end(), &channel) == lookers.end()) {
        lookers.push_back(&channel);
    }
}

void RelayLoop::run() {
    blockPipeSignal();
    std::vector<epoll_event> events(eventsPerWait);
    const auto idleMs = static_cast<int>(idleLife.count());
    while (!stopping.load()) {
        takeRequests();
        const bool idle = attached.empty() && lookers.empty();
        const int count =
            epoll_wait(epollFd.get(), events.data(), eventsPerWait, idle ? idleMs : waitTimeout());
        if (count == 0 && idle && endWhileIdle()) {
            return;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            Syslog::error("%s: %s failed, error: %s, code: %d", "RelayLoop", "epoll_wait", strerror(errno),
                          errno);
            break;
        }
        if (count == 0) {
            // A channel looks for an answer; the peer that is to give it may
            // need this very CPU.
            sched_yield();
            continue;
        }
        dispatch(events.data(), count);
    }
    endThread();
}

// Attaching first: a channel detached right after its attach is taken on
// and let go in the same turn.
void RelayLoop::takeRequests() {
    if (!requestsPosted.exchange(false)) {
        return;
    }
    std::vector<RelayChannel*> attaching;
    std::set<RelayChannel*> detaching;
    {
        const std::lock_guard<std::mutex> guard(requestsLock);
        attaching.swap(toAttach);
        detaching = toDetach;
    }
    for (RelayChannel* channel : attaching) {
        attached.insert(channel);
        channel->attached();
    }
    for (RelayChannel* channel : detaching) {
        if (attached.erase(channel) != 0) {
            channel->detached();
        }
        lookers.erase(std::remove(lookers.begin(), lookers.end(), channel), lookers.end());
    }
    if (detaching.empty()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> guard(requestsLock);
        for (RelayChannel* channel : detaching) {
            toDetach.erase(channel);
        }
    }
    letGo.notify_all();
}

void RelayLoop::dispatch(const epoll_event* events, int count) {
    for (int i = 0; i < count; ++i) {
        auto* watched = static_cast<RelayWatch*>(events[i].data.ptr);
        if (watched == nullptr) {
            wake.clear();
            continue;
        }
        watched->channel->ready(*watched, events[i].events, buffer);
    }
}

// Channels that have stopped looking leave the list; while one looks, the
// loop does not sleep.
int RelayLoop::waitTimeout() {
    if (lookers.empty()) {
        return -1;
    }
    const auto now = RelayChannel::Clock::now();
    lookers.erase(std::remove_if(lookers.begin(), lookers.end(),
                                 [now](RelayChannel* channel) { return !channel->looking(now); }),
                  lookers.end());
    return lookers.empty() ? -1 : 0;
}

// Whoever still waits for a channel to be let go is let go too: nothing
// calls the channels any more.
void RelayLoop::endThread() {
    {
        const std::lock_guard<std::mutex> guard(requestsLock);
        ended = true;
        running = false;
    }
    letGo.notify_all();
}

double RelayLoop::cpuSeconds() {
    const std::lock_guard<std::mutex> guard(requestsLock);
    clockid_t clock{};
    timespec used{};
    if (!running || pthread_getcpuclockid(thread.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &used) != 0) {
        return 0;
    }
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

RelayLoops::RelayLoops() : RelayLoops(usableCpus()) {}

RelayLoops::RelayLoops(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        loops.push_back(std::make_unique<RelayLoop>());
        cpuAtJudgement.push_back(0);
    }
}

RelayLoop& RelayLoops::pick() {
    const auto now = std::chrono::steady_clock::now();
    if (now - judgedAt >= judgedOver) {
        const std::vector<double> busy = busySinceLastJudgement(now);
        const auto quiet =
            std::find_if(busy.begin(), busy.end(), [](double share) { return share < busyShare; });
        const auto best = quiet != busy.end() ? quiet : std::min_element(busy.begin(), busy.end());
        chosen = static_cast<size_t>(best - busy.begin());
    }
    return *loops[chosen];
}

std::vector<double> RelayLoops::busySinceLastJudgement(std::chrono::steady_clock::time_point now) {
    const double elapsed = std::chrono::duration<double>(now - judgedAt).count();
    judgedAt = now;
    std::vector<double> busy;
    for (size_t i = 0; i < loops.size(); ++i) {
        // A thread started anew counts from nothing.
        const double cpu = loops[i]->cpuSeconds();
        busy.push_back(std::max(0.0, cpu - cpuAtJudgement[i]) / elapsed);
        cpuAtJudgement[i] = cpu;
    }
    return busy;
}

}  // namespace Velk
