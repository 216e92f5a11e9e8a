// See held_process.h. The wait status is rebuilt from waitid's report in the
// form waitpid gives, which the system's callers read.
#include "utils/held_process.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "logger.h"

namespace Velk::Utils {

namespace {

int waitStatusOf(const siginfo_t& info) {
    switch (info.si_code) {
        case CLD_EXITED:
            return (info.si_status & 0xff) << 8;
        case CLD_DUMPED:
            return info.si_status | 0x80;
        default:
            return info.si_status;
    }
}

}  // namespace

int openPidfd(pid_t pid) {
    const auto fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        Syslog::error("%s: %s failed, error: %s, code: %d", "openPidfd", "pidfd_open", strerror(errno),
                      errno);
    }
    return fd;
}

bool HeldProcess::signal(int sig) const {
    return held() && syscall(SYS_pidfd_send_signal, fd.get(), sig, nullptr, 0) == 0;
}

std::optional<int> HeldProcess::reapIfEnded() {
    if (!held()) {
        return std::nullopt;
    }
    siginfo_t info{};
    int result = -1;
    do {
        result = waitid(P_PIDFD, static_cast<id_t>(fd.get()), &info, WEXITED | WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        // Reaped elsewhere, or never ours: nothing is held any more.
        Syslog::error("%s: %s failed, error: %s, code: %d", "reapIfEnded", "waitid", strerror(errno), errno);
        fd.reset();
        return -1;
    }
    if (info.si_pid == 0) {
        return std::nullopt;
    }
    fd.reset();
    return waitStatusOf(info);
}

std::optional<int> HeldProcess::reapWithin(std::chrono::milliseconds timeout) {
    if (held()) {
        pollfd ended{fd.get(), POLLIN, 0};
        while (poll(&ended, 1, static_cast<int>(timeout.count())) < 0 && errno == EINTR) {
        }
    }
    return reapIfEnded();
}

}  // namespace Velk::Utils
