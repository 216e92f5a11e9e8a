// See log_budget.h.
#include "proxy/log_budget.h"

namespace Velk {

bool LogBudget::allows(Clock::time_point now) {
    if (now - windowStart >= window) {
        windowStart = now;
        written = 0;
    }
    if (written < linesPerWindow) {
        ++written;
        return true;
    }
    ++held;
    return false;
}

uint64_t LogBudget::heldBack(Clock::time_point now, bool force) {
    if (held == 0 || (!force && now - windowStart < window)) {
        return 0;
    }
    const uint64_t count = held;
    held = 0;
    return count;
}

}  // namespace Velk
