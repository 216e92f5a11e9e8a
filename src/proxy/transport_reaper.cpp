// See transport_reaper.h. One epoll set holds the timer and every held
// transport's pidfd, so the owner's loop watches a single descriptor.
#include "proxy/transport_reaper.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <system_error>

#include "logger.h"
#include "utils/process.h"

namespace Velk {

namespace {

using Clock = std::chrono::steady_clock;

void removeFiles(const JobFiles& files) {
    std::error_code ec;
    if (std::filesystem::is_socket(files.socketPath, ec)) {
        std::filesystem::remove(files.socketPath, ec);
    }
    if (!files.samPath.empty()) {
        std::filesystem::remove(files.samPath, ec);
    }
}

void watchInput(int epoll, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
}

void ended(Utils::HeldProcess& process, int status) {
    Utils::syslogWaitStatus(status, "awaitTransportEnd", process.pid());
}

void terminate(const Utils::HeldProcess& process) {
    if (process.signal(SIGTERM)) {
        Syslog::debug("%s: stop transport, pid: %d", "awaitTransportEnd", process.pid());
    }
}

}  // namespace

TransportReaper::TransportReaper()
    : epollFd(epoll_create1(EPOLL_CLOEXEC)),
      timerFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
    if (!epollFd.valid() || !timerFd.valid()) {
        throw std::system_error(errno, std::generic_category(), "TransportReaper");
    }
    watchInput(epollFd.get(), timerFd.get());
}

TransportReaper::~TransportReaper() {
    const std::lock_guard<std::mutex> guard(lock);
    for (auto& transport : retired) {
        if (!transport.terminated) {
            terminate(transport.process);
            transport.signalAt = Clock::now() + grace;
        }
        const auto left = std::max(Clock::duration::zero(), transport.signalAt - Clock::now());
        std::optional<int> status =
            transport.process.reapWithin(std::chrono::duration_cast<std::chrono::milliseconds>(left));
        if (!status) {
            Syslog::warning("%s: transport ignores SIGTERM, kill, pid: %d", "awaitTransportEnd",
                            transport.process.pid());
            transport.process.signal(SIGKILL);
            status = transport.process.reapWithin(std::chrono::hours(1));
        }
        ended(transport.process, status.value_or(-1));
        removeFiles(transport.files);
    }
}

void TransportReaper::retire(Utils::HeldProcess transport, JobFiles files, bool connectionEnded) {
    if (!transport.held()) {
        removeFiles(files);
        return;
    }
    const std::lock_guard<std::mutex> guard(lock);
    if (!connectionEnded) {
        terminate(transport);
    }
    watchInput(epollFd.get(), transport.pidfd());
    retired.push_back({std::move(transport), std::move(files),
                       Clock::now() + (connectionEnded ? drain : grace), !connectionEnded});
    armTimer();
}

void TransportReaper::onReady() {
    const std::lock_guard<std::mutex> guard(lock);
    uint64_t expirations = 0;
    while (read(timerFd.get(), &expirations, sizeof(expirations)) > 0) {
    }
    signalOverdue(Clock::now());
    reapEnded();
    armTimer();
}

// The pidfd leaves the epoll set by itself when it is closed with the
// process let go.
void TransportReaper::reapEnded() {
    for (auto it = retired.begin(); it != retired.end();) {
        const std::optional<int> status = it->process.reapIfEnded();
        if (!status) {
            ++it;
            continue;
        }
        ended(it->process, *status);
        removeFiles(it->files);
        it = retired.erase(it);
    }
}

void TransportReaper::signalOverdue(Clock::time_point now) {
    for (auto& transport : retired) {
        if (transport.killed || transport.signalAt > now) {
            continue;
        }
        if (!transport.terminated) {
            terminate(transport.process);
            transport.terminated = true;
            transport.signalAt = now + grace;
            continue;
        }
        Syslog::warning("%s: transport ignores SIGTERM, kill, pid: %d", "awaitTransportEnd",
                        transport.process.pid());
        transport.process.signal(SIGKILL);
        transport.killed = true;
    }
}

// At the earliest signal due; disarmed while none is.
void TransportReaper::armTimer() {
    std::optional<Clock::time_point> next;
    for (const auto& transport : retired) {
        if (!transport.killed && (!next || transport.signalAt < *next)) {
            next = transport.signalAt;
        }
    }
    itimerspec at{};
    if (next) {
        const auto since = next->time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        at.it_value.tv_sec = seconds.count();
        at.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count();
        if (at.it_value.tv_sec == 0 && at.it_value.tv_nsec == 0) {
            at.it_value.tv_nsec = 1;
        }
    }
    timerfd_settime(timerFd.get(), TFD_TIMER_ABSTIME, &at, nullptr);
}

bool TransportReaper::holdsFile(const std::string& path) const {
    const std::lock_guard<std::mutex> guard(lock);
    return std::any_of(retired.begin(), retired.end(), [&path](const Retired& transport) {
        return transport.files.socketPath == path || transport.files.samPath == path;
    });
}

size_t TransportReaper::holding() const {
    const std::lock_guard<std::mutex> guard(lock);
    return retired.size();
}

}  // namespace Velk
