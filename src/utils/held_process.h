// A child process held by its pidfd: signalled and reaped through it, so a
// pid that the system gave to another process after this one ended is never
// touched, and its end is seen by polling one descriptor.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

#include "utils/unique_fd.h"

namespace Velk::Utils {

class HeldProcess {
public:
    // None held.
    HeldProcess() = default;
    // Takes the pidfd of one's own unreaped child.
    HeldProcess(pid_t pid, int pidfd) : childPid(pid), fd(pidfd) {}
    HeldProcess(HeldProcess&&) noexcept = default;
    HeldProcess& operator=(HeldProcess&&) noexcept = default;
    HeldProcess(const HeldProcess&) = delete;
    HeldProcess& operator=(const HeldProcess&) = delete;

    // A process is held until it was reaped.
    bool held() const { return fd.valid(); }
    pid_t pid() const { return childPid; }
    // Readable once the process has ended.
    int pidfd() const { return fd.get(); }

    // False when the process has ended (or none is held).
    bool signal(int sig) const;
    // The raw wait status once it has ended, and it is let go; nothing while
    // it runs.
    std::optional<int> reapIfEnded();
    // Waits up to the time-out for its end; the raw wait status, or nothing
    // when it still runs.
    std::optional<int> reapWithin(std::chrono::milliseconds timeout);

private:
    pid_t childPid = -1;
    UniqueFd fd;
};

// The pidfd of one's own child, or -1 after an error line.
int openPidfd(pid_t pid);

}  // namespace Velk::Utils
