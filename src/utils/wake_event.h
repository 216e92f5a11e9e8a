// A descriptor that a poll can wait on beside its sockets, raised to wake
// the waiter at once: how a stop reaches a thread that sleeps in poll
// without a periodic look at a flag.
#pragma once

#include "utils/unique_fd.h"

namespace Velk::Utils {

class WakeEvent {
public:
    // Throws std::system_error when no eventfd can be made.
    WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    int fd() const { return eventFd.get(); }
    // Safe in a signal handler: one write to the eventfd.
    void raise() const;
    // Takes a raised event back, so that the next wait sleeps again.
    void clear() const;

private:
    UniqueFd eventFd;
};

}  // namespace Velk::Utils
