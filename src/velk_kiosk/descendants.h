// Signals that reach only the kiosk's own descendants.  A pid that a client
// writes into a window property may name any process of the machine, and the
// pid of an ended process may be given to a new one at any moment; so a
// process is held by a pidfd before it is judged, and the judgement and the
// signal concern the same process.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/unique_fd.h"

namespace Velk {

// The parent pid in the text of /proc/<pid>/stat; nullopt when the text is
// not such a line.  The command name between the parentheses may itself hold
// spaces and parentheses.
std::optional<pid_t> parentFromStat(std::string_view stat);

// True when the chain of parents of pid, read from /proc, reaches ancestor;
// a process is not its own descendant.
bool isDescendantOf(pid_t pid, pid_t ancestor);

// The children of this process, of all its threads, re-parented orphans
// included, read from /proc; they end and change while it is read.
std::vector<pid_t> ownChildren();

// One process held by a pidfd: signals never reach another process that got
// its pid after it ended.
class PidFd {
public:
    // Null when the process does not exist (or the call failed: logged).
    static std::optional<PidFd> open(pid_t pid);
    // Null also when the process is not a descendant of this one.
    static std::optional<PidFd> openDescendant(pid_t pid);

    pid_t pid() const { return target; }
    // Readable once the process has ended: polled beside other descriptors.
    int fd() const { return descriptor.get(); }
    // False when the process has ended (or the call failed: logged).
    bool signal(int sig) const;
    // The wait status of a child of this process that has ended (fd()
    // readable), reaped; nullopt while it runs.
    std::optional<int> reap() const;

private:
    PidFd(Utils::UniqueFd held, pid_t process) : descriptor(std::move(held)), target(process) {}

    Utils::UniqueFd descriptor;
    pid_t target = 0;
};

}  // namespace Velk
