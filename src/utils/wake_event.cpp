// See wake_event.h.
#include "utils/wake_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace Velk::Utils {

WakeEvent::WakeEvent() : eventFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!eventFd.valid()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

void WakeEvent::raise() const {
    const uint64_t one = 1;
    // Fails only when the counter is full, and then it is raised already.
    [[maybe_unused]] const ssize_t written = write(eventFd.get(), &one, sizeof(one));
}

void WakeEvent::clear() const {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = read(eventFd.get(), &count, sizeof(count));
}

}  // namespace Velk::Utils
