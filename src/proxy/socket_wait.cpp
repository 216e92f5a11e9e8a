// See socket_wait.h. The socket appears when the transport binds it and
// takes connections a moment later, when it listens: a connection refused in
// that moment is tried again, after short pauses that only a transport slow
// between the two calls ever sees.
#include "proxy/socket_wait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "logger.h"
#include "utils/sockets.h"

namespace Velk {

namespace {

using Clock = std::chrono::steady_clock;

// Without inotify (its limits reached) the directory is looked at this often.
constexpr auto fallbackLook = std::chrono::milliseconds(50);
constexpr auto firstRetry = std::chrono::microseconds(100);
constexpr auto longestRetry = std::chrono::milliseconds(10);

void drain(int fd) {
    std::array<char, 4096> events{};
    while (read(fd, events.data(), events.size()) > 0) {
    }
}

class SocketWaiter {
public:
    SocketWaiter(int notifyFd, const std::string& socketPath, int transportPidfd,
                 const std::vector<int>& wakeFds, const std::function<bool()>& stop, Clock::time_point end);

    // Connected, or why not.
    TransportConnection connect();

private:
    // Nothing while the wait may go on.
    std::optional<SocketWait> reasonToEnd() const;
    // Sleeps until something watched happens, at most `longest`.
    void waitFor(std::chrono::microseconds longest);

    const std::string& path;
    const std::function<bool()>& stopRequested;
    Clock::time_point deadline;
    // Both watches are set before the first look, so nothing falls between.
    int notify;
    std::vector<pollfd> fds;
};

SocketWaiter::SocketWaiter(int notifyFd, const std::string& socketPath, int transportPidfd,
                           const std::vector<int>& wakeFds, const std::function<bool()>& stop,
                           Clock::time_point end)
    : path(socketPath),
      stopRequested(stop),
      deadline(end),
      notify(notifyFd),
      fds({{notify, POLLIN, 0}, {transportPidfd, POLLIN, 0}}) {
    for (const int wake : wakeFds) {
        fds.push_back({wake, POLLIN, 0});
    }
}

std::optional<SocketWait> SocketWaiter::reasonToEnd() const {
    if (stopRequested()) {
        return SocketWait::Stopped;
    }
    if ((fds[1].revents & POLLIN) != 0) {
        return SocketWait::TransportEnded;
    }
    if (Clock::now() > deadline) {
        return SocketWait::TimedOut;
    }
    return std::nullopt;
}

void SocketWaiter::waitFor(std::chrono::microseconds longest) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    const auto wait = std::max(std::min(left, longest), std::chrono::microseconds(0));
    const timespec timeout{static_cast<time_t>(wait.count() / 1000000),
                           static_cast<long>(wait.count() % 1000000) * 1000};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) > 0 && notify >= 0) {
        drain(notify);
    }
}

TransportConnection SocketWaiter::connect() {
    auto retry = std::chrono::duration_cast<std::chrono::microseconds>(firstRetry);
    while (true) {
        if (isSocketFile(path)) {
            Utils::UniqueFd fd(Socket::unixTryConnect(path));
            if (fd.valid()) {
                return {SocketWait::Connected, std::move(fd)};
            }
            if (errno != ECONNREFUSED && errno != ENOENT) {
                return {SocketWait::Refused, {}};
            }
        }
        if (auto end = reasonToEnd()) {
            return {*end == SocketWait::TimedOut && isSocketFile(path) ? SocketWait::Refused : *end, {}};
        }
        if (!isSocketFile(path)) {
            waitFor(notify >= 0 ? std::chrono::microseconds::max() : fallbackLook);
        } else {
            waitFor(retry);
            retry = std::min<std::chrono::microseconds>(retry * 2, longestRetry);
        }
    }
}

}  // namespace

bool isSocketFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_socket(path, ec);
}

int SocketDirectoryWatch::watch(const std::string& socketPath) {
    if (!notify.valid()) {
        notify.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    }
    const std::string dir = std::filesystem::path(socketPath).parent_path().string();
    // The same directory keeps its one watch; a replaced one gets a new
    // watch, and the kernel drops the old one with the old directory.
    if (!notify.valid() ||
        inotify_add_watch(notify.get(), dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) < 0) {
        Syslog::warning("%s: %s failed, error: %s, code: %d", "connectTransportSocket", "inotify",
                        strerror(errno), errno);
        return -1;
    }
    // What happened before this wait says nothing about its socket.
    drain(notify.get());
    return notify.get();
}

TransportConnection connectTransportSocket(SocketDirectoryWatch& directory, const std::string& socketPath,
                                           int transportPidfd, const std::vector<int>& wakeFds,
                                           const std::function<bool()>& stopRequested,
                                           std::chrono::milliseconds timeout) {
    SocketWaiter waiter(directory.watch(socketPath), socketPath, transportPidfd, wakeFds, stopRequested,
                        Clock::now() + timeout);
    return waiter.connect();
}

}  // namespace Velk
