// Lets a test order two threads by what the kernel says of one of them, so
// "the waiter is already waiting" is observed, never assumed after a sleep.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "test_support.h"

namespace VelkTest {

// The scheduler state letter of a thread of this process ('R', 'S', ...), or
// 0 when the thread is gone.
inline char threadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return 0;
    }
    // The command name in parentheses may hold spaces: the state follows it.
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

// Waits until the thread sleeps in the kernel (blocked in a wait of its own).
inline bool waitUntilBlocked(pid_t tid, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return waitUntil([tid] { return threadState(tid) == 'S'; }, timeout);
}

}  // namespace VelkTest
