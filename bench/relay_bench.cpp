// Relay benchmark: velk_proxy against a client talking straight to the
// transport (DIRECT) and against haproxy in TCP mode, in one run with the
// repetitions interleaved, printing medians and ratios.
//   relay_bench [--reps N] [--bytes N]
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "relay_targets.h"

namespace {

using Clock = std::chrono::steady_clock;
using VelkBench::RelayTarget;

struct ProcessCost {
    double cpuSeconds = 0;
    long switches = 0;
};

// CPU of all threads (clock ticks) and context switches of the live threads.
ProcessCost processCost(pid_t pid) {
    ProcessCost cost;
    if (pid <= 0) {
        return cost;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) {
        values.push_back(value);
    }
    if (values.size() > 12) {
        cost.cpuSeconds = static_cast<double>(std::stol(values[11]) + std::stol(values[12])) /
                          static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(taskDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            std::ifstream status(taskDir + "/" + entry->d_name + "/status");
            std::string line;
            while (std::getline(status, line)) {
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                    line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                    cost.switches += std::stol(line.substr(line.find(':') + 1));
                }
            }
        }
        closedir(dir);
    }
    return cost;
}

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
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

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Bulk {
    double mbPerSecond = 0;
    double cpuPerGiB = 0;
};

Bulk bulkToServer(RelayTarget& target, uint64_t bytes) {
    const int fd = target.connect("sink");
    std::vector<char> chunk(1 << 20, 'x');
    const auto before = processCost(target.relayPid());
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (sent < bytes && sendAll(fd, chunk.data(), chunk.size())) {
        sent += chunk.size();
    }
    const double elapsed = seconds(Clock::now() - start);
    const auto after = processCost(target.relayPid());
    target.finish(fd);
    const double gib = static_cast<double>(sent) / (1 << 30);
    return {static_cast<double>(sent) / elapsed / 1e6, (after.cpuSeconds - before.cpuSeconds) / gib};
}

// Timed from the first bytes on: the connection's set-up (for the proxy an
// allowance over D-Bus and a transport start) is no part of the stream.
Bulk bulkToClient(RelayTarget& target, uint64_t bytes) {
    const int fd = target.connect("source:" + std::to_string(bytes));
    std::vector<char> chunk(1 << 20);
    const ssize_t first = recv(fd, chunk.data(), chunk.size(), 0);
    const auto before = processCost(target.relayPid());
    const auto start = Clock::now();
    uint64_t received = 0;
    while (first > 0 && received + static_cast<uint64_t>(first) < bytes) {
        const ssize_t n = recv(fd, chunk.data(), chunk.size(), 0);
        if (n <= 0) {
            break;
        }
        received += static_cast<uint64_t>(n);
    }
    const double elapsed = seconds(Clock::now() - start);
    const auto after = processCost(target.relayPid());
    target.finish(fd);
    const double gib = static_cast<double>(received) / (1 << 30);
    return {static_cast<double>(received) / elapsed / 1e6, (after.cpuSeconds - before.cpuSeconds) / gib};
}

// Round trips in microseconds, with an optional random quiet before each.
std::vector<double> roundTrips(RelayTarget& target, size_t size, int count, bool quiet) {
    const int fd = target.connect("echo");
    std::vector<char> out(size, 'r');
    std::vector<char> in(size);
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pause(2500, 7500);
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        if (quiet) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        }
        const auto start = Clock::now();
        if (!sendAll(fd, out.data(), size) || !recvAll(fd, in.data(), size)) {
            break;
        }
        micros.push_back(seconds(Clock::now() - start) * 1e6);
    }
    target.finish(fd);
    return micros;
}

ProcessCost idleConnection(RelayTarget& target, std::chrono::seconds span) {
    const int fd = target.connect("echo");
    const auto before = processCost(target.relayPid());
    std::this_thread::sleep_for(span);
    const auto after = processCost(target.relayPid());
    target.finish(fd);
    return {after.cpuSeconds - before.cpuSeconds,
            static_cast<long>(static_cast<double>(after.switches - before.switches) /
                              static_cast<double>(span.count()))};
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

// results[metric][target] = one value per repetition
using Results = std::map<std::string, std::map<std::string, std::vector<double>>>;

void runOnce(RelayTarget& target, uint64_t bytes, Results& results) {
    const std::string name = target.name();
    const auto up = bulkToServer(target, bytes);
    const auto down = bulkToClient(target, bytes);
    results["bulk client to server, MB/s"][name].push_back(up.mbPerSecond);
    results["bulk server to client, MB/s"][name].push_back(down.mbPerSecond);
    results["relay CPU s per GiB (both ways)"][name].push_back(up.cpuPerGiB + down.cpuPerGiB);

    const auto small = roundTrips(target, 1, 5000, false);
    results["1-byte round trip p50, us"][name].push_back(percentile(small, 0.5));
    results["1-byte round trip p99, us"][name].push_back(percentile(small, 0.99));
    const auto kib = roundTrips(target, 1024, 5000, false);
    results["1-KiB round trip p50, us"][name].push_back(percentile(kib, 0.5));
    const auto sparse = roundTrips(target, 1, 300, true);
    results["1-byte after 2.5-7.5 ms quiet p50, us"][name].push_back(percentile(sparse, 0.5));
    results["1-byte after 2.5-7.5 ms quiet p99, us"][name].push_back(percentile(sparse, 0.99));

    const auto idle = idleConnection(target, std::chrono::seconds(5));
    results["idle connection: relay wake-ups per s"][name].push_back(static_cast<double>(idle.switches));
    results["idle connection: relay CPU s over 5 s"][name].push_back(idle.cpuSeconds);
}

void printTable(const Results& results, const std::vector<std::string>& names) {
    std::printf("%-40s", "median of repetitions");
    for (const auto& name : names) {
        std::printf(" %12s", name.c_str());
    }
    std::printf(" %14s %14s\n", "velk/DIRECT", "velk/haproxy");
    for (const auto& [metric, byTarget] : results) {
        std::printf("%-40s", metric.c_str());
        std::map<std::string, double> medians;
        for (const auto& name : names) {
            const auto it = byTarget.find(name);
            medians[name] = it == byTarget.end() ? 0 : median(it->second);
            std::printf(" %12.2f", medians[name]);
        }
        const auto ratio = [&](const std::string& base) {
            return medians[base] > 0 ? medians["velk_proxy"] / medians[base] : 0.0;
        };
        std::printf(" %14.2f %14.2f\n", ratio("DIRECT"), ratio("haproxy"));
    }
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 5;
    uint64_t bytes = 1ULL << 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--reps") == 0) {
            reps = std::stoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--bytes") == 0) {
            bytes = std::stoull(argv[i + 1]);
        }
    }

    std::vector<std::unique_ptr<RelayTarget>> targets;
    targets.push_back(VelkBench::makeDirect());
    targets.push_back(VelkBench::makeHaproxy());
    targets.push_back(VelkBench::makeVelk());
    std::vector<std::string> names;
    names.reserve(targets.size());
    for (const auto& target : targets) {
        names.emplace_back(target->name());
    }

    Results results;
    for (int rep = 0; rep < reps; ++rep) {
        for (auto& target : targets) {
            std::fprintf(stderr, "repetition %d/%d: %s\n", rep + 1, reps, target->name());
            runOnce(*target, bytes, results);
        }
    }
    std::printf("relay benchmark: %d repetitions, %llu bytes per bulk transfer\n", reps,
                static_cast<unsigned long long>(bytes));
    printTable(results, names);
    return 0;
}
