// What the relay benchmarks measure with: the CPU, wake-ups and memory of a
// process from /proc, whole transfers on a socket, percentiles.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace VelkBench {

using Clock = std::chrono::steady_clock;

struct ProcessCost {
    double cpuSeconds = 0;  // user and system time of all its threads, ended ones included
    long switches = 0;      // context switches of its live threads
    std::map<pid_t, long> threadSwitches;
};

// Zero for pid 0 (no relay process).
ProcessCost processCost(pid_t pid);

// The machine's CPU time so far, busy and all, in seconds (/proc/stat): how
// much of all its CPUs a stretch of work kept busy, every process counted.
struct MachineCpu {
    double busySeconds = 0;
    double allSeconds = 0;
};
MachineCpu machineCpu();
// The context switches between two looks, thread by thread: a thread that
// ended in between would otherwise take its count away from the sum.
long switchesBetween(const ProcessCost& before, const ProcessCost& after);

// User and system time of the calling thread: a benchmark's client.
double threadCpuSeconds();

// VmRSS of the process, KiB.
long residentKiB(pid_t pid);

// The pipes a process holds (each counted once, whichever end it holds):
// their capacity and the bytes waiting in them right now. Read by opening the
// process's descriptors through /proc (needs the right to, as root has).
struct PipeHoldings {
    size_t pipes = 0;
    uint64_t capacityBytes = 0;
    uint64_t queuedBytes = 0;
};
PipeHoldings pipeHoldings(pid_t pid);

bool recvAll(int fd, char* data, size_t size);
void noDelay(int fd);

double seconds(Clock::duration d);
double micros(Clock::duration d);

// The value at fraction p of the sorted values (p = 0.5: the median); 0 when
// there are none.
double percentile(std::vector<double> values, double p);
double median(std::vector<double> values);

}  // namespace VelkBench
