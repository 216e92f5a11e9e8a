// Cost of starting a child with a high open-files limit: runChildProcessWait
// of /bin/true at the usual limit and at 2^20, against a baseline child that
// closes its descriptors one call per number, in the same process.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "logger.h"
#include "utils/process.h"

namespace {

using Clock = std::chrono::steady_clock;

bool setOpenFilesLimit(rlim_t limit) {
    rlimit value{limit, limit};
    return setrlimit(RLIMIT_NOFILE, &value) == 0;
}

double startWithLibrary() {
    const auto start = Clock::now();
    Velk::Utils::runChildProcessWait("/bin/true", {}, {}, nullptr, nullptr);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// What a child start costs when every descriptor number is closed by itself.
double startClosingOneByOne() {
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const long limit = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < limit; ++fd) {
            close(static_cast<int>(fd));
        }
        execl("/bin/true", "/bin/true", static_cast<char*>(nullptr));
        _exit(127);
    }
    waitpid(pid, nullptr, 0);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename Start>
double medianOf(Start start, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        times.push_back(start());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main() {
    Velk::Syslog::setDebugLevel(Velk::DebugLevel::Quiet);
    std::printf("child start, median of 21 runs, ms\n");
    std::printf("%-24s %14s %18s %8s\n", "open-files limit", "runChildProcess", "close one by one", "ratio");
    rlimit current{};
    getrlimit(RLIMIT_NOFILE, &current);
    const rlim_t hardLimit = current.rlim_max;
    for (rlim_t limit : {rlim_t{1024}, rlim_t{1} << 20}) {
        // Without the right to raise the hard limit the highest one allowed stands in.
        if (!setOpenFilesLimit(limit)) {
            limit = hardLimit;
            setOpenFilesLimit(limit);
        }
        const double library = medianOf(startWithLibrary, 21);
        const double oneByOne = medianOf(startClosingOneByOne, 21);
        std::printf("%-24llu %14.2f %18.2f %8.1f\n", static_cast<unsigned long long>(limit), library,
                    oneByOne, oneByOne / library);
    }
    return 0;
}
