// The threads that move the sessions' bytes. One loop per CPU serves every
// session given to it from one epoll set: a wake-up handles whatever became
// ready meanwhile, in any of its sessions, so that a host of interactive
// sessions costs a few threads' wake-ups instead of one per message.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "utils/unique_fd.h"
#include "utils/wake_event.h"

namespace Velk {

class RelayLoop;

// One descriptor a channel waits on and what for (epoll's bits, which are
// poll's).
struct RelayWatch {
    class RelayChannel* channel = nullptr;
    int fd = -1;
    uint32_t events = 0;
};

// What a loop serves. Every call comes on the loop's thread.
class RelayChannel {
public:
    using Clock = std::chrono::steady_clock;

    RelayChannel() = default;
    RelayChannel(const RelayChannel&) = delete;
    RelayChannel& operator=(const RelayChannel&) = delete;

    // Taken on: the channel sets its watches.
    virtual void attached() = 0;
    // One of its watches is ready; buffer is the loop's, shared by its
    // channels for their reads.
    virtual void ready(RelayWatch& watch, uint32_t events, std::vector<uint8_t>& buffer) = 0;
    // Let go: no call follows, and the channel's watches are to be dropped.
    virtual void detached() = 0;
    // Whether the loop is to look again at once instead of sleeping.
    virtual bool looking(Clock::time_point now) = 0;

protected:
    ~RelayChannel() = default;
};

// Its thread runs only while the loop has channels: it starts with the
// first, and ends once the loop has been empty for idleLife, so an idle
// proxy holds no relay thread at all.
class RelayLoop {
public:
    static constexpr std::chrono::milliseconds defaultIdleLife{10000};

    // Throws std::system_error when no epoll set or wake-up can be made.
    explicit RelayLoop(std::chrono::milliseconds idleLife = defaultIdleLife);
    // Stops and joins the thread; every channel must be detached by then.
    ~RelayLoop();
    RelayLoop(const RelayLoop&) = delete;
    RelayLoop& operator=(const RelayLoop&) = delete;

    // From any thread: the loop takes the channel on at its next turn (its
    // thread started when it does not run).
    void attach(RelayChannel& channel);
    // From any thread but the loop's: returns once the loop has let the
    // channel go and will not call it again.
    void detach(RelayChannel& channel);
    // The CPU time the loop's thread has used, in seconds; 0 while none runs.
    double cpuSeconds();
    bool threadRunning();

    // On the loop's thread: waits on the watch's descriptor for events
    // (none: not at all; a hung-up peer is reported whatever is asked, and
    // would wake the loop again and again while its bytes wait).
    void watch(RelayWatch& watch, uint32_t events);
    // On the loop's thread: looks again at once while the channel asks to.
    void keepLooking(RelayChannel& channel);

private:
    void run();
    // True when the loop ends its thread: still empty, nothing to take on.
    bool endWhileIdle();
    void takeRequests();
    void dispatch(const epoll_event* events, int count);
    void endThread();
    int waitTimeout();

    const std::chrono::milliseconds idleLife;
    Utils::UniqueFd epollFd;
    Utils::WakeEvent wake;
    std::mutex requestsLock;
    std::condition_variable letGo;
    std::vector<RelayChannel*> toAttach;
    std::set<RelayChannel*> toDetach;
    std::atomic<bool> requestsPosted{false};  // spares the loop the lock while none are
    std::atomic<bool> stopping{false};
    bool ended = false;    // under requestsLock: the thread has gone for good
    bool running = false;  // under requestsLock: the thread runs
    // The loop thread's alone.
    std::set<RelayChannel*> attached;
    std::vector<RelayChannel*> lookers;
    std::vector<uint8_t> buffer;
    std::thread thread;
};

// A loop for each CPU the proxy may run on, each running a thread only while
// it has sessions. A new session goes to the first loop that is not busy,
// so that quiet sessions share one thread and its wake-ups, and a loop kept
// busy by a bulk session leaves the next session to another CPU.
class RelayLoops {
public:
    // The loops are judged busy (more than half a CPU) or quiet over at
    // least this long; sessions placed in between go where the last
    // judgement sent them, so that a burst of them is not judged by the
    // microseconds between two.
    static constexpr std::chrono::milliseconds judgedOver{100};

    RelayLoops();
    explicit RelayLoops(size_t count);
    // The first quiet loop, or when all are busy the least busy. Not for
    // two threads at once (the job registry calls it under its lock).
    RelayLoop& pick();

private:
    // Each loop's share of a CPU since the last judgement, which this is.
    std::vector<double> busySinceLastJudgement(std::chrono::steady_clock::time_point now);

    std::vector<std::unique_ptr<RelayLoop>> loops;
    std::vector<double> cpuAtJudgement;
    std::chrono::steady_clock::time_point judgedAt = std::chrono::steady_clock::now();
    size_t chosen = 0;
};

}  // namespace Velk
