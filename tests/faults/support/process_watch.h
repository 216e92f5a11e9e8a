// What the fault tests read about a process they watch: the descriptors,
// threads and children it holds, its CPU time, its identity, and whether it
// has ended, without reaping it, so that /proc still shows its last state.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

namespace VelkTest {

// What a process holds; the logs (*.log) and the proxy's status socket in
// the watched directory are kept by design and not counted.
struct Holdings {
    size_t descriptors = 0;
    size_t threads = 0;
    size_t children = 0;
    size_t files = 0;

    bool operator==(const Holdings& other) const;
};

std::ostream& operator<<(std::ostream& out, const Holdings& holdings);

Holdings holdingsOf(pid_t pid, const std::filesystem::path& watchedDir = {});

size_t countEntries(const std::filesystem::path& dir);
size_t threadCount(pid_t pid);

// User plus system time in clock ticks; -1 when the process is gone.
long cpuTicks(pid_t pid);

// The words of a line of /proc/<pid>/status, e.g. "Uid" or "Groups".
std::vector<std::string> statusWords(pid_t pid, const std::string& field);

// True once the child has ended; it is left a zombie for the caller to reap.
bool endedUnreaped(pid_t pid);

}  // namespace VelkTest
