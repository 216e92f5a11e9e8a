// Paces a write that has to be right soon rather than at every change (the
// root's client lists, read by pagers and task bars): the first write after
// a quiet while goes at once, and the changes that follow within the gap go
// together at its end, so that a burst of new windows writes each list a
// few times instead of once per window.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

namespace Velk {

class WritePace {
public:
    using Clock = std::chrono::steady_clock;

    explicit WritePace(Clock::duration quietGap) : gap(quietGap) {}

    // Runs `write`, which says whether it wrote anything, unless the last
    // write is less than the gap ago: then it is owed until dueAt().
    void offer(Clock::time_point now, const std::function<bool()>& write);
    // When the owed write is due; none while nothing is owed.
    std::optional<Clock::time_point> dueAt() const;

private:
    Clock::duration gap;
    std::optional<Clock::time_point> lastWrite;
    bool owed = false;
};

}  // namespace Velk
