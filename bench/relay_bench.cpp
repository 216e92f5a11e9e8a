// Relay benchmark: velk_proxy against a client talking straight to the
// transport (DIRECT) and against haproxy in TCP mode, in one run with the
// repetitions interleaved, printing medians, ratios and the targets met.
//   relay_bench [--reps N] [--suite stream|setup|interactive|sessions|all]
//               [--bytes N] [--setup-connections N] [--setup-wait-ms N]
//               [--interactive-sessions N] [--interactive-seconds N]
//               [--sessions N] [--sessions-seconds N] [--only TARGET]
// Suites:
//   stream       bulk each way (1 GiB), round trips, an idle connection, and
//                after each repetition a byte after a quiet moment, the
//                targets taking turns
//   setup        a client's connect to its first bytes back, the client
//                speaking at once, at random moments of the allowance; one
//                echo server for all, velk_proxy's transport linking to it at
//                once (velk_proxy) or the full stand-in one (velk_standin)
//   interactive  sessions at once, each sending a 64-byte request every 10 ms
//                that the far end answers 1 to 5 ms later
//   sessions     many sessions streaming to their clients at once
//   bulk-up, bulk-down  one bulk direction alone (not in "all"), with --only
//                velk_proxy (or DIRECT, haproxy) to profile the relay meanwhile
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_measure.h"
#include "client_io.h"
#include "quiet_trips.h"
#include "relay_targets.h"
#include "standin_bytes.h"

namespace {

using namespace VelkBench;
using VelkTest::sendAll;
using namespace std::chrono_literals;

struct Settings {
    int reps = 3;
    std::string suite = "all";
    uint64_t bytes = 1ULL << 30;
    int setupConnections = 60;
    int setupWaitMs = 300;
    int interactiveSessions = 20;
    int interactiveSeconds = 10;
    int sessions = 50;
    int sessionsSeconds = 3;
    std::string only;  // one target by name, for profiling; all when empty
};

// One suite's figures: metric -> target -> one value per repetition, the
// metrics in the order they were first given.
class Table {
public:
    explicit Table(std::string heading) : title(std::move(heading)) {}

    void add(const std::string& metric, const std::string& target, double value) {
        if (values.find(metric) == values.end()) {
            order.push_back(metric);
        }
        values[metric][target].push_back(value);
    }
    // The median of the repetitions; 0 when there is none.
    double get(const std::string& metric, const std::string& target) const {
        const auto row = values.find(metric);
        if (row == values.end()) {
            return 0;
        }
        const auto cell = row->second.find(target);
        return cell == row->second.end() ? 0 : median(cell->second);
    }
    bool has(const std::string& metric, const std::string& target) const {
        const auto row = values.find(metric);
        return row != values.end() && row->second.count(target) > 0;
    }

    void print(const std::vector<std::string>& names) const {
        std::printf("\n%s\n%-48s", title.c_str(), "median of repetitions");
        for (const auto& name : names) {
            std::printf(" %12s", name.c_str());
        }
        std::printf(" %12s %12s\n", "velk/DIRECT", "velk/haproxy");
        for (const auto& metric : order) {
            std::printf("%-48s", metric.c_str());
            for (const auto& name : names) {
                if (has(metric, name)) {
                    std::printf(" %12.2f", get(metric, name));
                } else {
                    std::printf(" %12s", "-");
                }
            }
            for (const char* base : {"DIRECT", "haproxy"}) {
                const double denominator = get(metric, base);
                if (has(metric, "velk_proxy") && denominator > 0) {
                    std::printf(" %12.2f", get(metric, "velk_proxy") / denominator);
                } else {
                    std::printf(" %12s", "-");
                }
            }
            std::printf("\n");
        }
    }

private:
    std::string title;
    std::vector<std::string> order;
    std::map<std::string, std::map<std::string, std::vector<double>>> values;
};

// What each target was asked to reach, printed after the tables.
std::vector<std::string> verdicts;

void verdict(bool met, const std::string& text) {
    verdicts.push_back(std::string(met ? "met     " : "NOT MET ") + text);
}

__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof(text), pattern, arguments);
    va_end(arguments);
    return text;
}

// ---- stream: bulk, round trips, quiet, idle ----

struct Bulk {
    double mbPerSecond = 0;
    double cpuPerGiB = 0;
    double switchesPerMiB = 0;
    double clientCpuPerGiB = 0;
};

Bulk bulkResult(uint64_t bytes, double elapsed, const ProcessCost& before, const ProcessCost& after,
                double clientCpu) {
    const double gib = static_cast<double>(bytes) / (1 << 30);
    return {static_cast<double>(bytes) / elapsed / 1e6, (after.cpuSeconds - before.cpuSeconds) / gib,
            static_cast<double>(switchesBetween(before, after)) / (gib * 1024), clientCpu / gib};
}

Bulk bulkToServer(RelayTarget& target, uint64_t bytes) {
    const int fd = target.connect("sink");
    std::vector<char> chunk(1 << 20, 'x');
    const auto before = processCost(target.relayPid());
    const double clientBefore = threadCpuSeconds();
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (sent < bytes && sendAll(fd, chunk.data(), chunk.size())) {
        sent += chunk.size();
    }
    const double elapsed = seconds(Clock::now() - start);
    const double clientCpu = threadCpuSeconds() - clientBefore;
    const auto after = processCost(target.relayPid());
    target.finish(fd);
    return bulkResult(sent, elapsed, before, after, clientCpu);
}

// Timed from the first bytes on: the connection's set-up is no part of it.
Bulk bulkToClient(RelayTarget& target, uint64_t bytes) {
    const int fd = target.connect("source:" + std::to_string(bytes));
    std::vector<char> chunk(1 << 20);
    const ssize_t first = recv(fd, chunk.data(), chunk.size(), 0);
    const auto before = processCost(target.relayPid());
    const double clientBefore = threadCpuSeconds();
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
    const double clientCpu = threadCpuSeconds() - clientBefore;
    const auto after = processCost(target.relayPid());
    target.finish(fd);
    return bulkResult(received, elapsed, before, after, clientCpu);
}

// Round trips one after another, in microseconds.
std::vector<double> roundTrips(RelayTarget& target, size_t size, int count) {
    const int fd = target.connect("echo");
    std::vector<char> out(size, 'r');
    std::vector<char> in(size);
    std::vector<double> result;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!sendAll(fd, out.data(), size) || !recvAll(fd, in.data(), size)) {
            break;
        }
        result.push_back(micros(Clock::now() - start));
    }
    target.finish(fd);
    return result;
}

ProcessCost idleConnection(RelayTarget& target, std::chrono::seconds span) {
    const int fd = target.connect("echo");
    const auto before = processCost(target.relayPid());
    std::this_thread::sleep_for(span);
    const auto after = processCost(target.relayPid());
    target.finish(fd);
    ProcessCost idle;
    idle.cpuSeconds = after.cpuSeconds - before.cpuSeconds;
    idle.switches = static_cast<long>(static_cast<double>(switchesBetween(before, after)) /
                                      static_cast<double>(span.count()));
    return idle;
}

void streamOnce(RelayTarget& target, const Settings& settings, Table& table) {
    const std::string name = target.name();
    const auto up = bulkToServer(target, settings.bytes);
    const auto down = bulkToClient(target, settings.bytes);
    table.add("bulk client to server, MB/s", name, up.mbPerSecond);
    table.add("bulk server to client, MB/s", name, down.mbPerSecond);
    if (target.relayPid() > 0) {
        table.add("relay CPU s per GiB, client to server", name, up.cpuPerGiB);
        table.add("relay CPU s per GiB, server to client", name, down.cpuPerGiB);
        table.add("relay context switches per MiB, c to s", name, up.switchesPerMiB);
        table.add("relay context switches per MiB, s to c", name, down.switchesPerMiB);
    }
    // Where the loopback's receive work lands: a TCP sender's softirq does it.
    table.add("client CPU s per GiB, client to server", name, up.clientCpuPerGiB);
    table.add("client CPU s per GiB, server to client", name, down.clientCpuPerGiB);
    const auto small = roundTrips(target, 1, 5000);
    table.add("1-byte round trip p50, us", name, percentile(small, 0.5));
    table.add("1-byte round trip p99, us", name, percentile(small, 0.99));
    const auto kib = roundTrips(target, 1024, 5000);
    table.add("1-KiB round trip p50, us", name, percentile(kib, 0.5));
    if (target.relayPid() > 0) {
        const auto idle = idleConnection(target, 5s);
        table.add("idle connection: relay wake-ups per s", name, static_cast<double>(idle.switches));
    }
}

// After each repetition, the targets taking turns: a mood of the machine that
// fell on one target's quiet bytes alone would decide their ratio.
void quietTogether(const std::vector<std::unique_ptr<RelayTarget>>& targets, Table& table) {
    for (const auto& [name, trips] : quietRoundTrips(targets, 400)) {
        table.add("1 byte after 2.5-7.5 ms quiet p50, us", name, percentile(trips, 0.5));
        table.add("1 byte after 2.5-7.5 ms quiet p99, us", name, percentile(trips, 0.99));
    }
}

// The bulk transfers alone, one direction, for profiling the relay while it
// runs (suites "bulk-up" and "bulk-down").
void bulkOnce(RelayTarget& target, const Settings& settings, Table& table, bool up) {
    const auto result = up ? bulkToServer(target, settings.bytes) : bulkToClient(target, settings.bytes);
    const std::string direction = up ? "client to server" : "server to client";
    table.add("bulk " + direction + ", MB/s", target.name(), result.mbPerSecond);
    if (target.relayPid() > 0) {
        table.add("relay CPU s per GiB, " + direction, target.name(), result.cpuPerGiB);
        table.add("relay context switches per MiB, " + direction, target.name(), result.switchesPerMiB);
    }
    table.add("client CPU s per GiB, " + direction, target.name(), result.clientCpuPerGiB);
}

void streamVerdicts(const Table& table) {
    for (const char* direction : {"client to server", "server to client"}) {
        const std::string metric = std::string("bulk ") + direction + ", MB/s";
        const double ratio = table.get(metric, "velk_proxy") / table.get(metric, "DIRECT");
        verdict(ratio >= 0.8,
                std::string("bulk ") + direction + format(" at least 0.8x DIRECT: %.2fx", ratio));
        const std::string cpu = std::string("relay CPU s per GiB, ") + direction;
        const double velk = table.get(cpu, "velk_proxy");
        const double haproxy = table.get(cpu, "haproxy");
        verdict(velk <= haproxy, std::string("relay CPU per GiB ") + direction +
                                     format(" at most haproxy's: %.3f s against %.3f s", velk, haproxy));
    }
    const std::string sparse = "1 byte after 2.5-7.5 ms quiet p50, us";
    const double ratio = table.get(sparse, "velk_proxy") / table.get(sparse, "DIRECT");
    verdict(ratio <= 2.0, format("sparse round trip p50 at most 2x DIRECT: %.2fx (%.0f us against %.0f us)",
                                 ratio, table.get(sparse, "velk_proxy"), table.get(sparse, "DIRECT")));
}

// ---- setup: connect to first bytes back ----

void setupOnce(RelayTarget& target, const std::string& mode, const Settings& settings, Table& table) {
    const std::string name = target.name();
    // The same random moments for every target.
    std::mt19937 random(4242);
    std::uniform_int_distribution<int> wait(0, settings.setupWaitMs * 1000);
    std::vector<double> setup;
    std::vector<double> toStart;
    std::vector<double> transportStart;
    std::vector<double> afterSocket;
    std::vector<double> ownShare;
    for (int i = 0; i < settings.setupConnections; ++i) {
        target.prepare(mode);
        std::this_thread::sleep_for(std::chrono::microseconds(wait(random)));
        const auto start = Clock::now();
        const int fd = target.connectNow();
        if (fd < 0 || !VelkTest::sendConnectionRequest(fd)) {
            throw std::runtime_error(name + ": the set-up connection failed");
        }
        // One TPKT packet: its header tells its length.
        std::array<char, 256> answer{};
        size_t got = 0;
        size_t wanted = VelkStandin::tpktHeaderSize;
        while (got < wanted) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {target.watchFd(), POLLIN, 0}};
            if (poll(fds, 2, 20000) <= 0) {
                throw std::runtime_error(name + ": no answer to the first bytes");
            }
            if ((fds[1].revents & POLLIN) != 0) {
                target.watchReadable(Clock::now());
            }
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = recv(fd, answer.data() + got, wanted - got, MSG_DONTWAIT);
                if (n <= 0) {
                    throw std::runtime_error(name + ": the set-up connection closed");
                }
                got += static_cast<size_t>(n);
                if (got == VelkStandin::tpktHeaderSize) {
                    wanted = std::min(answer.size(),
                                      VelkStandin::tpktLength(reinterpret_cast<uint8_t*>(answer.data())));
                }
            }
        }
        const auto answered = Clock::now();
        const double total = micros(answered - start);
        setup.push_back(total / 1000);
        if (const auto parts = target.lastSetupParts(start, answered)) {
            toStart.push_back(parts->toTransportStartMicros / 1000);
            transportStart.push_back(parts->transportStartMicros / 1000);
            afterSocket.push_back(parts->afterSocketMicros / 1000);
            ownShare.push_back((total - parts->transportStartMicros) / 1000);
        }
        target.finish(fd);
    }
    table.add("set-up p50, ms", name, percentile(setup, 0.5));
    table.add("set-up p99, ms", name, percentile(setup, 0.99));
    table.add("set-up max, ms", name, percentile(setup, 1.0));
    if (!transportStart.empty()) {
        table.add("  connect to transport's exec p50, ms", name, percentile(toStart, 0.5));
        table.add("  transport start (exec to socket) p50, ms", name, percentile(transportStart, 0.5));
        table.add("  socket to first bytes back p50, ms", name, percentile(afterSocket, 0.5));
        table.add("  proxy's own share p50, ms", name, percentile(ownShare, 0.5));
        table.add("  proxy's own share p99, ms", name, percentile(ownShare, 0.99));
    }
}

constexpr const char* fullStandin = "velk_standin";

void setupVerdicts(const Table& table) {
    const auto over = [&table](const char* metric, const char* name) {
        return table.get(metric, name) - table.get(metric, "DIRECT");
    };
    const double p50 = over("set-up p50, ms", "velk_proxy");
    const double p99 = over("set-up p99, ms", "velk_proxy");
    verdict(p50 <= 5.0, format("set-up p50 at most 5 ms over DIRECT: %.2f ms over", p50));
    verdict(p99 <= 20.0, format("set-up p99 at most 20 ms over DIRECT: %.2f ms over", p99));
    if (table.has("set-up p50, ms", fullStandin)) {
        verdicts.push_back(
            format("info    the full stand-in transport (not judged): p50 %.2f, p99 %.2f ms over DIRECT",
                   over("set-up p50, ms", fullStandin), over("set-up p99, ms", fullStandin)));
    }
}

// ---- interactive: small requests answered a few ms later, many sessions ----

constexpr size_t messageSize = 64;

struct Interactive {
    uint64_t messages = 0;  // requests and answers
    double seconds = 0;
    std::vector<double> addedMicros;  // round trip less the far end's delay
};

Interactive exchange(const std::vector<int>& fds, std::chrono::seconds span) {
    constexpr auto period = 10ms;
    struct Peer {
        Clock::time_point next;
        uint64_t sent = 0;
        std::vector<Clock::time_point> sentAt;
        std::vector<char> in;
    };
    std::vector<Peer> peers(fds.size());
    const auto start = Clock::now();
    const auto end = start + span;
    for (size_t i = 0; i < peers.size(); ++i) {
        peers[i].next = start + period * static_cast<long>(i) / static_cast<long>(peers.size());
    }
    Interactive result;
    uint64_t answered = 0;
    uint64_t requested = 0;
    std::vector<pollfd> polled(fds.size());
    while (true) {
        auto now = Clock::now();
        if (now >= end && (answered == requested || now >= end + 500ms)) {
            break;
        }
        for (size_t i = 0; i < peers.size(); ++i) {
            Peer& peer = peers[i];
            if (now < end && peer.next <= now) {
                std::array<char, messageSize> out{};
                std::memcpy(out.data(), &peer.sent, sizeof(peer.sent));
                if (!sendAll(fds[i], out.data(), out.size())) {
                    throw std::runtime_error("interactive: send failed");
                }
                peer.sentAt.push_back(Clock::now());
                ++peer.sent;
                ++requested;
                peer.next += period;
            }
        }
        auto next = end + 500ms;
        for (const auto& peer : peers) {
            next = std::min(next, now < end ? peer.next : next);
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            polled[i] = {fds[i], POLLIN, 0};
        }
        now = Clock::now();
        const auto left = std::max<Clock::duration>(next - now, Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (ppoll(polled.data(), polled.size(), &timeout, nullptr) <= 0) {
            continue;
        }
        const auto arrived = Clock::now();
        for (size_t i = 0; i < fds.size(); ++i) {
            if ((polled[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            Peer& peer = peers[i];
            std::array<char, 4096> buffer{};
            const ssize_t n = recv(fds[i], buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n <= 0) {
                throw std::runtime_error("interactive: the connection closed");
            }
            peer.in.insert(peer.in.end(), buffer.data(), buffer.data() + n);
            while (peer.in.size() >= messageSize) {
                uint64_t seq = 0;
                uint64_t kept = 0;
                std::memcpy(&seq, peer.in.data(), sizeof(seq));
                std::memcpy(&kept, peer.in.data() + 8, sizeof(kept));
                peer.in.erase(peer.in.begin(), peer.in.begin() + messageSize);
                if (seq < peer.sentAt.size()) {
                    result.addedMicros.push_back(micros(arrived - peer.sentAt[seq]) -
                                                 static_cast<double>(kept));
                }
                ++answered;
            }
        }
    }
    result.messages = requested + answered;
    result.seconds = seconds(Clock::now() - start);
    return result;
}

void interactiveOnce(RelayTarget& target, const Settings& settings, Table& table) {
    const std::string name = target.name();
    std::vector<int> fds;
    fds.reserve(static_cast<size_t>(settings.interactiveSessions));
    for (int i = 0; i < settings.interactiveSessions; ++i) {
        fds.push_back(target.connect("delay-echo:64:1000:5000"));
    }
    const auto before = processCost(target.relayPid());
    const auto result = exchange(fds, std::chrono::seconds(settings.interactiveSeconds));
    const auto after = processCost(target.relayPid());
    for (const int fd : fds) {
        target.finish(fd);
    }
    const double messages = static_cast<double>(result.messages);
    table.add("messages per s, both ways, all sessions", name, messages / result.seconds);
    if (target.relayPid() > 0) {
        table.add("relay CPU per message, us", name, (after.cpuSeconds - before.cpuSeconds) * 1e6 / messages);
        table.add("relay CPU, % of one CPU", name,
                  (after.cpuSeconds - before.cpuSeconds) * 100 / result.seconds);
        table.add("relay context switches per message", name,
                  static_cast<double>(switchesBetween(before, after)) / messages);
    }
    table.add("round trip less far end's delay p50, us", name, percentile(result.addedMicros, 0.5));
    table.add("round trip less far end's delay p99, us", name, percentile(result.addedMicros, 0.99));
}

void interactiveVerdicts(const Table& table) {
    const double velk = table.get("relay CPU per message, us", "velk_proxy");
    const double haproxy = table.get("relay CPU per message, us", "haproxy");
    verdict(velk <= haproxy,
            format("interactive CPU per message at most haproxy's: %.2f us against %.2f us (%.2fx)", velk,
                   haproxy, velk / haproxy));
}

// ---- sessions: many streams to their clients at once ----

void sessionsOnce(RelayTarget& target, const Settings& settings, Table& table) {
    const std::string name = target.name();
    const pid_t relay = target.relayPid();
    const long residentBefore = relay > 0 ? residentKiB(relay) : 0;
    const PipeHoldings pipesBefore = relay > 0 ? pipeHoldings(relay) : PipeHoldings{};
    std::vector<int> fds;
    fds.reserve(static_cast<size_t>(settings.sessions));
    for (int i = 0; i < settings.sessions; ++i) {
        fds.push_back(target.connect("source:" + std::to_string(1ULL << 50)));
    }
    std::vector<uint64_t> counted(fds.size());
    std::vector<pollfd> polled(fds.size());
    std::vector<char> chunk(size_t{256} * 1024);
    const auto start = Clock::now();
    const auto windowStart = start + 500ms;
    const auto end = windowStart + std::chrono::seconds(settings.sessionsSeconds);
    ProcessCost before;
    MachineCpu machineBefore;
    bool inWindow = false;
    PipeHoldings pipes;
    long residentDuring = 0;
    while (Clock::now() < end) {
        if (!inWindow && Clock::now() >= windowStart) {
            inWindow = true;
            before = processCost(relay);
            machineBefore = machineCpu();
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            polled[i] = {fds[i], POLLIN, 0};
        }
        if (poll(polled.data(), polled.size(), 100) <= 0) {
            continue;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if ((polled[i].revents & POLLIN) == 0) {
                continue;
            }
            const ssize_t n = recv(fds[i], chunk.data(), chunk.size(), MSG_DONTWAIT);
            if (n > 0 && inWindow) {
                counted[i] += static_cast<uint64_t>(n);
            }
        }
        if (inWindow && residentDuring == 0 && relay > 0 && Clock::now() >= windowStart + 1s) {
            residentDuring = residentKiB(relay);
            pipes = pipeHoldings(relay);
        }
    }
    const double window = static_cast<double>(settings.sessionsSeconds);
    const auto after = processCost(relay);
    const MachineCpu machineAfter = machineCpu();
    for (const int fd : fds) {
        target.finish(fd);
    }
    uint64_t total = 0;
    for (const uint64_t bytes : counted) {
        total += bytes;
    }
    const auto [slowest, fastest] = std::minmax_element(counted.begin(), counted.end());
    const double sessions = static_cast<double>(fds.size());
    table.add("aggregate MB/s", name, static_cast<double>(total) / window / 1e6);
    table.add("slowest session MB/s", name, static_cast<double>(*slowest) / window / 1e6);
    table.add("fastest session MB/s", name, static_cast<double>(*fastest) / window / 1e6);
    table.add("slowest / fastest", name, static_cast<double>(*slowest) / static_cast<double>(*fastest));
    // All CPUs busy: the throughput is what the CPU time per byte of every
    // process on the path allows, the relay's and the client's TCP included.
    const double machineBusy = machineAfter.busySeconds - machineBefore.busySeconds;
    table.add("machine CPUs busy, %", name,
              100 * machineBusy / (machineAfter.allSeconds - machineBefore.allSeconds));
    table.add("machine CPU s per GiB, every process", name,
              machineBusy / (static_cast<double>(total) / (1 << 30)));
    if (relay > 0) {
        table.add("relay CPU s per GiB", name,
                  (after.cpuSeconds - before.cpuSeconds) / (static_cast<double>(total) / (1 << 30)));
        table.add("relay resident growth per session, KiB", name,
                  static_cast<double>(residentDuring - residentBefore) / sessions);
        // The pipes the proxy holds without a session (its own) are left out.
        table.add("relay pipes per session", name,
                  static_cast<double>(pipes.pipes - pipesBefore.pipes) / sessions);
        table.add("relay pipe capacity per session, KiB", name,
                  static_cast<double>(pipes.capacityBytes - pipesBefore.capacityBytes) / 1024 / sessions);
        table.add("relay pipe bytes queued per session, KiB", name,
                  static_cast<double>(pipes.queuedBytes - pipesBefore.queuedBytes) / 1024 / sessions);
    }
}

void sessionsVerdicts(const Table& table) {
    const double ratio = table.get("aggregate MB/s", "velk_proxy") / table.get("aggregate MB/s", "DIRECT");
    verdict(ratio >= 0.8, format("many sessions: aggregate at least 0.8x DIRECT: %.2fx", ratio));
    const double fairness = table.get("slowest / fastest", "velk_proxy");
    verdict(fairness >= 0.5, format("many sessions: slowest at least half the fastest: %.2f", fairness));
}

// ---- running the suites ----

using Factory = std::function<std::unique_ptr<RelayTarget>()>;
using Together = std::function<void(const std::vector<std::unique_ptr<RelayTarget>>&, Table&)>;

// Each repetition runs `once` on every target in turn, then `together` (when
// given) on all of them at once.
void runSuite(const std::string& title, const std::vector<Factory>& factories, const Settings& settings,
              const std::function<void(RelayTarget&, const Settings&, Table&)>& once,
              const std::function<void(const Table&)>& judge, const Together& together = nullptr) {
    std::vector<std::unique_ptr<RelayTarget>> targets;
    std::vector<std::string> names;
    for (const auto& make : factories) {
        auto target = make();
        if (!settings.only.empty() && settings.only != target->name()) {
            continue;
        }
        std::fprintf(stderr, "%s: relay pid %d\n", target->name(), static_cast<int>(target->relayPid()));
        targets.push_back(std::move(target));
        names.emplace_back(targets.back()->name());
    }
    Table table(title);
    const auto started = Clock::now();
    for (int rep = 0; rep < settings.reps; ++rep) {
        for (auto& target : targets) {
            std::fprintf(stderr, "%s: repetition %d/%d: %s\n", title.c_str(), rep + 1, settings.reps,
                         target->name());
            once(*target, settings, table);
        }
        if (together) {
            together(targets, table);
        }
    }
    targets.clear();
    table.print(names);
    std::printf("(%d repetitions, %.0f s)\n", settings.reps, seconds(Clock::now() - started));
    std::fflush(stdout);
    judge(table);
}

// The targets judged reach one echo server started before them; the full
// stand-in transport, which echoes by itself, shows what a real transport's
// start adds.
void runSetupSuite(const Settings& settings, const Factory& direct, const Factory& haproxy) {
    const EchoServer echo;
    VelkOptions instant;
    instant.transport = VelkTransport::Instant;
    VelkOptions standin;
    standin.name = fullStandin;
    const std::string mode = echo.mode();
    runSuite(
        "setup: connect to the first bytes back, " + std::to_string(settings.setupConnections) +
            " connections, each 0-" + std::to_string(settings.setupWaitMs) + " ms after the allowance",
        {direct, haproxy, [instant] { return makeVelk(instant); }, [standin] { return makeVelk(standin); }},
        settings,
        [&mode](RelayTarget& target, const Settings& s, Table& table) { setupOnce(target, mode, s, table); },
        setupVerdicts);
}

bool wanted(const Settings& settings, const char* suite) {
    return settings.suite == "all" || settings.suite == suite;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    const std::map<std::string, std::function<void(const char*)>> options = {
        {"--reps", [&](const char* v) { settings.reps = std::stoi(v); }},
        {"--suite", [&](const char* v) { settings.suite = v; }},
        {"--bytes", [&](const char* v) { settings.bytes = std::stoull(v); }},
        {"--setup-connections", [&](const char* v) { settings.setupConnections = std::stoi(v); }},
        {"--setup-wait-ms", [&](const char* v) { settings.setupWaitMs = std::stoi(v); }},
        {"--interactive-sessions", [&](const char* v) { settings.interactiveSessions = std::stoi(v); }},
        {"--interactive-seconds", [&](const char* v) { settings.interactiveSeconds = std::stoi(v); }},
        {"--sessions", [&](const char* v) { settings.sessions = std::stoi(v); }},
        {"--sessions-seconds", [&](const char* v) { settings.sessionsSeconds = std::stoi(v); }},
        {"--only", [&](const char* v) { settings.only = v; }},
    };
    for (int i = 1; i < argc; i += 2) {
        const auto option = options.find(argv[i]);
        if (option == options.end() || i + 1 >= argc) {
            std::fprintf(stderr, "usage: %s [--reps N] [--suite stream|setup|interactive|sessions|all] ...\n",
                         argv[0]);
            return 2;
        }
        option->second(argv[i + 1]);
    }

    std::printf("relay benchmark: suite %s, %d repetitions\n", settings.suite.c_str(), settings.reps);
    const Factory direct = [] { return makeDirect(); };
    const Factory haproxy = [] { return makeHaproxy(); };
    if (wanted(settings, "stream")) {
        runSuite("stream: " + std::to_string(settings.bytes) + " bytes per bulk transfer, one connection",
                 {direct, haproxy, [] { return makeVelk(); }}, settings, streamOnce, streamVerdicts,
                 quietTogether);
    }
    for (const bool up : {true, false}) {
        if (settings.suite == (up ? "bulk-up" : "bulk-down")) {
            runSuite(
                settings.suite + ": " + std::to_string(settings.bytes) + " bytes per transfer",
                {direct, haproxy, [] { return makeVelk(); }}, settings,
                [up](RelayTarget& target, const Settings& s, Table& table) {
                    bulkOnce(target, s, table, up);
                },
                [](const Table&) {});
        }
    }
    if (wanted(settings, "setup")) {
        runSetupSuite(settings, direct, haproxy);
    }
    if (wanted(settings, "interactive")) {
        VelkOptions velk;
        velk.transport = VelkTransport::Delay;
        velk.maxSessions = std::max(64, settings.interactiveSessions);
        runSuite("interactive: " + std::to_string(settings.interactiveSessions) +
                     " sessions, 64-byte requests every 10 ms answered after 1-5 ms, " +
                     std::to_string(settings.interactiveSeconds) + " s",
                 {direct, haproxy, [velk] { return makeVelk(velk); }}, settings, interactiveOnce,
                 interactiveVerdicts);
    }
    if (wanted(settings, "sessions")) {
        VelkOptions velk;
        velk.maxSessions = std::max(64, settings.sessions);
        runSuite("sessions: " + std::to_string(settings.sessions) + " sessions streaming to their clients, " +
                     std::to_string(settings.sessionsSeconds) + " s window",
                 {direct, [velk] { return makeVelk(velk); }}, settings, sessionsOnce, sessionsVerdicts);
    }
    std::printf("\ntargets\n");
    for (const auto& line : verdicts) {
        std::printf("  %s\n", line.c_str());
    }
    return 0;
}
