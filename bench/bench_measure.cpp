// See bench_measure.h.
#include "bench_measure.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

namespace VelkBench {

namespace {

std::string procPath(pid_t pid, const std::string& name) {
    return "/proc/" + std::to_string(pid) + "/" + name;
}

}  // namespace

ProcessCost processCost(pid_t pid) {
    ProcessCost cost;
    if (pid <= 0) {
        return cost;
    }
    std::ifstream stat(procPath(pid, "stat"));
    std::string text;
    std::getline(stat, text);
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return cost;
    }
    std::istringstream fields(text.substr(close + 2));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) {
        values.push_back(value);
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    if (values.size() > 12) {
        cost.cpuSeconds = static_cast<double>(std::stol(values[11]) + std::stol(values[12])) /
                          static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    const std::string taskDir = procPath(pid, "task");
    if (DIR* dir = opendir(taskDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            std::ifstream status(taskDir + "/" + entry->d_name + "/status");
            std::string line;
            long switches = 0;
            while (std::getline(status, line)) {
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                    line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                    switches += std::stol(line.substr(line.find(':') + 1));
                }
            }
            cost.switches += switches;
            cost.threadSwitches[static_cast<pid_t>(std::stol(entry->d_name))] = switches;
        }
        closedir(dir);
    }
    return cost;
}

MachineCpu machineCpu() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    stat >> cpu;
    const auto tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    MachineCpu used;
    // user nice system idle iowait irq softirq steal: idle and iowait are not busy.
    for (int field = 0; field < 8; ++field) {
        double ticks = 0;
        stat >> ticks;
        used.allSeconds += ticks * tick;
        used.busySeconds += field == 3 || field == 4 ? 0 : ticks * tick;
    }
    return used;
}

long switchesBetween(const ProcessCost& before, const ProcessCost& after) {
    long total = 0;
    for (const auto& [tid, switches] : after.threadSwitches) {
        const auto earlier = before.threadSwitches.find(tid);
        total += switches - (earlier == before.threadSwitches.end() ? 0 : earlier->second);
    }
    return total;
}

double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long residentKiB(pid_t pid) {
    std::ifstream status(procPath(pid, "status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return 0;
}

PipeHoldings pipeHoldings(pid_t pid) {
    PipeHoldings holdings;
    std::set<ino_t> seen;
    const std::string fdDir = procPath(pid, "fd");
    DIR* dir = opendir(fdDir.c_str());
    if (dir == nullptr) {
        return holdings;
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string path = fdDir + "/" + entry->d_name;
        struct stat info {};
        if (stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode) || !seen.insert(info.st_ino).second) {
            continue;
        }
        // A reader of our own for a moment: it takes nothing out.
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const int capacity = fcntl(fd, F_GETPIPE_SZ);
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) != 0) {
            queued = 0;
        }
        close(fd);
        ++holdings.pipes;
        holdings.capacityBytes += static_cast<uint64_t>(std::max(capacity, 0));
        holdings.queuedBytes += static_cast<uint64_t>(std::max(queued, 0));
    }
    closedir(dir);
    return holdings;
}

bool recvAll(int fd, char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = recv(fd, data, size, 0);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void noDelay(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

double median(std::vector<double> values) {
    return percentile(std::move(values), 0.5);
}

}  // namespace VelkBench
