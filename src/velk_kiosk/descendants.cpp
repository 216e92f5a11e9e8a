// Descendants of the kiosk: its children and the parent chain read from
// /proc, and signals and reaping through a pidfd.
#include "velk_kiosk/descendants.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "logger.h"

namespace Velk {

namespace {

// Far deeper than any real process tree; a chain that seems longer is read
// while processes end and are replaced, and is not trusted.
constexpr int maxChainLength = 4096;

std::optional<pid_t> parentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    return parentFromStat(line);
}

// By syscall: glibc 2.36 declares its pidfd wrappers without C linkage, so
// C++ cannot link them.
int pidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int pidfdSendSignal(int fd, int sig) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
}

void logFailure(const char* func, const char* call) {
    Syslog::error("%s: %s failed, error: %s, code: %d", func, call, strerror(errno), errno);
}

}  // namespace

std::optional<pid_t> parentFromStat(std::string_view stat) {
    // Only the last parenthesis closes the command name.
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string_view::npos || stat.size() < nameEnd + 4) {
        return std::nullopt;
    }
    // ") S 42 ...": the state is one letter, the parent follows it.
    const std::string_view rest = stat.substr(nameEnd + 1);
    if (rest[0] != ' ' || rest[2] != ' ') {
        return std::nullopt;
    }
    pid_t parent = 0;
    const auto [end, error] = std::from_chars(rest.data() + 3, rest.data() + rest.size(), parent);
    if (error != std::errc() || end == rest.data() + 3) {
        return std::nullopt;
    }
    return parent;
}

bool isDescendantOf(pid_t pid, pid_t ancestor) {
    pid_t current = pid;
    for (int step = 0; step < maxChainLength; ++step) {
        const std::optional<pid_t> parent = parentOf(current);
        if (!parent || *parent <= 0) {
            return false;
        }
        if (*parent == ancestor) {
            return true;
        }
        current = *parent;
    }
    return false;
}

// An orphan is re-parented to one living thread of the subreaper, not always
// the first: every thread's list is read.
std::vector<pid_t> ownChildren() {
    std::vector<pid_t> children;
    std::error_code ec;
    for (std::filesystem::directory_iterator task("/proc/self/task", ec), end; !ec && task != end;
         task.increment(ec)) {
        std::ifstream in(task->path() / "children");
        for (pid_t child = 0; in >> child;) {
            children.push_back(child);
        }
    }
    return children;
}

std::optional<PidFd> PidFd::open(pid_t pid) {
    const int fd = pidfdOpen(pid);
    if (fd < 0) {
        if (errno != ESRCH) {
            logFailure("open", "pidfd_open");
        }
        return std::nullopt;
    }
    return PidFd(Utils::UniqueFd(fd), pid);
}

// The chain is read after the pidfd is taken: while the held process lives
// its pid names no other, and once it has ended a signal reaches nobody.
std::optional<PidFd> PidFd::openDescendant(pid_t pid) {
    std::optional<PidFd> process = open(pid);
    if (process && !isDescendantOf(pid, getpid())) {
        process.reset();
    }
    return process;
}

bool PidFd::signal(int sig) const {
    if (pidfdSendSignal(descriptor.get(), sig) == 0) {
        return true;
    }
    if (errno != ESRCH) {
        logFailure("signal", "pidfd_send_signal");
    }
    return false;
}

std::optional<int> PidFd::reap() const {
    int status = 0;
    pid_t reaped = 0;
    do {
        reaped = waitpid(target, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped < 0) {
        logFailure("reap", "waitpid");
    }
    return reaped == target ? std::optional<int>(status) : std::nullopt;
}

}  // namespace Velk
