// Lines that others can make the proxy write as often as they like (probes
// of its port, signals forged on the bus): a few of each kind are written
// per window, the rest are counted and said in one line.
#pragma once

#include <chrono>
#include <cstdint>

namespace Velk {

class LogBudget {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr uint32_t linesPerWindow = 5;
    static constexpr std::chrono::seconds window{10};

    // Whether this line may be written. Not for two threads at once.
    bool allows(Clock::time_point now = Clock::now());
    // The lines held back since the last call, to be said in one line once
    // their window has passed (at once with force); 0 when there are none to
    // say yet.
    uint64_t heldBack(Clock::time_point now = Clock::now(), bool force = false);

private:
    Clock::time_point windowStart{};
    uint32_t written = 0;
    uint64_t held = 0;
};

}  // namespace Velk
