// The most a relay can reach here: DIRECT and velk_proxy against trivial
// copiers, repetitions interleaved. In bulk the copiers are one blocking
// thread per direction between the client's TCP socket and the transport's
// unix socket ("splice", "rw" and their variants). With --quiet N, instead,
// one byte goes there and back after a quiet moment, N times per repetition,
// the targets taking turns; besides "rw" two more copiers serve there:
// "tcp-echo" answers the client itself (no relay and no transport: the
// client's TCP hop alone) and "spin" never sleeps (measure it in a run of its
// own: it keeps a CPU busy while the others are timed).
//   relay_ceiling [--reps N] [--bytes N] [--copiers splice,rw,rw-cubic,...]
//   relay_ceiling --quiet N [--reps N] [--copiers rw,tcp-echo | spin]
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_measure.h"
#include "client_io.h"
#include "proxy_harness.h"
#include "quiet_trips.h"
#include "relay_targets.h"

namespace {

using namespace VelkBench;

// ---- the copier process ----

// A copier's mode: "splice" or "rw", then any of "-reno"/"-cubic" (the
// congestion control towards the client), "-more" (SPLICE_F_MORE or MSG_MORE
// while the read filled the buffer), "-<N>k" (the pipe or buffer size).
struct CopyMode {
    bool splicing = true;
    std::string congestion;
    bool more = false;
    size_t size = size_t{256} * 1024;
};

CopyMode parseMode(const std::string& text) {
    CopyMode mode;
    std::stringstream stream(text);
    std::string part;
    std::getline(stream, part, '-');
    mode.splicing = part == "splice";
    while (std::getline(stream, part, '-')) {
        if (part == "more") {
            mode.more = true;
        } else if (!part.empty() && part.back() == 'k') {
            mode.size = std::stoul(part) * 1024;
        } else {
            mode.congestion = part;
        }
    }
    return mode;
}

void copySplice(int from, int to, const CopyMode& mode) {
    int ends[2];
    if (pipe(ends) != 0) {
        return;
    }
    fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(mode.size));
    const auto size = static_cast<size_t>(fcntl(ends[1], F_GETPIPE_SZ));
    while (true) {
        const ssize_t in = splice(from, nullptr, ends[1], nullptr, size, SPLICE_F_MOVE);
        if (in <= 0) {
            break;
        }
        const unsigned flags = mode.more && static_cast<size_t>(in) == size ? SPLICE_F_MORE : 0;
        for (ssize_t left = in; left > 0;) {
            const ssize_t out = splice(ends[0], nullptr, to, nullptr, static_cast<size_t>(left), flags);
            if (out <= 0) {
                return;
            }
            left -= out;
        }
    }
    shutdown(to, SHUT_WR);
}

void copyBuffer(int from, int to, const CopyMode& mode) {
    std::vector<char> buffer(mode.size);
    while (true) {
        const ssize_t in = read(from, buffer.data(), buffer.size());
        if (in <= 0) {
            break;
        }
        const int flags =
            MSG_NOSIGNAL | (mode.more && static_cast<size_t>(in) == buffer.size() ? MSG_MORE : 0);
        ssize_t done = 0;
        while (done < in) {
            const ssize_t out = send(to, buffer.data() + done, static_cast<size_t>(in - done), flags);
            if (out <= 0) {
                return;
            }
            done += out;
        }
    }
    shutdown(to, SHUT_WR);
}

// Never sleeps: both sockets non-blocking, read over and over on one thread.
// The floor of a relay's latency after a quiet moment, at a whole CPU's cost.
void copySpinning(int client, int transport) {
    fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
    fcntl(transport, F_SETFL, fcntl(transport, F_GETFL) | O_NONBLOCK);
    std::vector<char> buffer(size_t{64} * 1024);
    const int ends[2][2] = {{client, transport}, {transport, client}};
    while (true) {
        for (const auto& way : ends) {
            const ssize_t in = recv(way[0], buffer.data(), buffer.size(), 0);
            if (in == 0 || (in < 0 && errno != EAGAIN)) {
                return;
            }
            for (ssize_t done = 0; done < in;) {
                const ssize_t out =
                    send(way[1], buffer.data() + done, static_cast<size_t>(in - done), MSG_NOSIGNAL);
                if (out < 0 && errno != EAGAIN) {
                    return;
                }
                done += std::max<ssize_t>(out, 0);
            }
        }
    }
}

int copierMain(int client, int transport, const std::string& text) {
    signal(SIGPIPE, SIG_IGN);
    if (text == "spin") {
        copySpinning(client, transport);
        return 0;
    }
    if (text == "tcp-echo") {
        // No relay: the client's own bytes straight back over its TCP
        // connection, what the client's hop alone costs.
        copyBuffer(client, client, CopyMode{});
        return 0;
    }
    const CopyMode mode = parseMode(text);
    if (!mode.congestion.empty()) {
        setsockopt(client, IPPROTO_TCP, TCP_CONGESTION, mode.congestion.c_str(), mode.congestion.size());
    }
    const auto copy = mode.splicing ? copySplice : copyBuffer;
    std::thread up(copy, client, transport, mode);
    copy(transport, client, mode);
    up.join();
    return 0;
}

// ---- the copier as a target ----

int listenLoopback(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        throw std::runtime_error("copier: cannot listen");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

class Copier : public RelayTarget {
public:
    explicit Copier(std::string copierMode) : mode(std::move(copierMode)), label("copy-" + mode) {
        listener = listenLoopback(port);
    }
    ~Copier() override { close(listener); }

    const char* name() const override { return label.c_str(); }
    void prepare(const std::string& transportMode) override { direct->prepare(transportMode); }
    int connectNow() override {
        transport = direct->connectNow();
        fcntl(transport, F_SETFD, 0);
        const int fd = VelkTest::connectLoopback(port);
        noDelay(fd);
        const int accepted = accept(listener, nullptr, nullptr);
        noDelay(accepted);
        const std::string self = "/proc/self/exe";
        std::vector<std::string> args = {self, "--copier", std::to_string(accepted),
                                         std::to_string(transport), mode};
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn(&child, self.c_str(), nullptr, nullptr, argv.data(), environ);
        close(accepted);
        fcntl(transport, F_SETFD, FD_CLOEXEC);
        return fd;
    }
    void finish(int fd) override {
        close(fd);
        waitpid(child, nullptr, 0);
        child = 0;
        direct->finish(transport);
    }
    pid_t relayPid() const override { return child; }

private:
    std::string mode;
    std::string label;
    std::unique_ptr<RelayTarget> direct = makeDirect();
    int listener = -1;
    uint16_t port = 0;
    int transport = -1;
    pid_t child = 0;
};

// ---- the measurements ----

struct Bulk {
    double mbPerSecond = 0;
    double relayCpuPerGiB = 0;
    double clientCpuPerGiB = 0;
};

// One chunk each way: its size, or 0 when the connection failed or ended.
size_t moveChunk(int fd, std::vector<char>& chunk, bool toClient) {
    if (toClient) {
        return static_cast<size_t>(std::max<ssize_t>(recv(fd, chunk.data(), chunk.size(), 0), 0));
    }
    return VelkTest::sendAll(fd, chunk.data(), chunk.size()) ? chunk.size() : 0;
}

// Timed from the first bytes on, as relay_bench does.
Bulk bulk(RelayTarget& target, uint64_t bytes, bool toClient) {
    const int fd = target.connect(toClient ? "source:" + std::to_string(bytes) : "sink");
    std::vector<char> chunk(1 << 20, 'x');
    uint64_t moved = toClient ? moveChunk(fd, chunk, true) : 0;
    const auto before = processCost(target.relayPid());
    const double clientBefore = threadCpuSeconds();
    const auto start = Clock::now();
    while (moved < bytes) {
        const size_t step = moveChunk(fd, chunk, toClient);
        if (step == 0) {
            break;
        }
        moved += step;
    }
    const double elapsed = seconds(Clock::now() - start);
    const double clientCpu = threadCpuSeconds() - clientBefore;
    const auto after = processCost(target.relayPid());
    target.finish(fd);
    const double gib = static_cast<double>(moved) / (1 << 30);
    return {static_cast<double>(moved) / elapsed / 1e6, (after.cpuSeconds - before.cpuSeconds) / gib,
            clientCpu / gib};
}

// ---- a byte after a quiet moment ----

// Target name -> microseconds of every round trip.
using Trips = std::map<std::string, std::vector<double>>;

void printTrips(const std::vector<std::unique_ptr<RelayTarget>>& targets, const Trips& trips) {
    const double direct = percentile(trips.at("DIRECT"), 0.5);
    std::printf("\n1 byte after 2.5-7.5 ms quiet %12s %9s %9s %9s\n", "p50, us", "x DIRECT", "p90, us",
                "p99, us");
    for (const auto& target : targets) {
        const auto& mine = trips.at(target->name());
        const double p50 = percentile(mine, 0.5);
        std::printf("  %-39s %9.1f %9.2f %9.1f %9.1f\n", target->name(), p50, p50 / direct,
                    percentile(mine, 0.9), percentile(mine, 0.99));
    }
}

struct Settings {
    int reps = 3;
    uint64_t bytes = 1ULL << 30;
    std::vector<std::string> copiers = {"splice", "rw"};
    int quiet = 0;
};

Settings parse(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--reps") {
            settings.reps = std::stoi(argv[i + 1]);
        } else if (option == "--quiet") {
            settings.quiet = std::stoi(argv[i + 1]);
        } else if (option == "--bytes") {
            settings.bytes = std::stoull(argv[i + 1]);
        } else if (option == "--copiers") {
            settings.copiers.clear();
            std::stringstream list(argv[i + 1]);
            for (std::string item; std::getline(list, item, ',');) {
                settings.copiers.push_back(item);
            }
        }
    }
    return settings;
}

// Target name -> one result per repetition.
using Results = std::map<std::string, std::vector<Bulk>>;

double medianOf(const std::vector<Bulk>& results, double Bulk::*field) {
    std::vector<double> values;
    values.reserve(results.size());
    for (const auto& one : results) {
        values.push_back(one.*field);
    }
    return median(values);
}

void print(const std::string& direction, const std::vector<std::unique_ptr<RelayTarget>>& targets,
           const Results& results) {
    const double direct = medianOf(results.at("DIRECT"), &Bulk::mbPerSecond);
    std::printf("\nbulk %-36s %9s %9s %9s %9s\n", (direction + ", medians").c_str(), "MB/s", "x DIRECT",
                "relay CPU", "client CPU");
    for (const auto& target : targets) {
        const auto& mine = results.at(target->name());
        const double rate = medianOf(mine, &Bulk::mbPerSecond);
        std::printf("  %-39s %9.1f %9.2f %9.2f %9.2f\n", target->name(), rate, rate / direct,
                    medianOf(mine, &Bulk::relayCpuPerGiB), medianOf(mine, &Bulk::clientCpuPerGiB));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--copier") {
        return copierMain(std::stoi(argv[2]), std::stoi(argv[3]), argv[4]);
    }
    const Settings settings = parse(argc, argv);
    std::vector<std::unique_ptr<RelayTarget>> targets;
    targets.push_back(makeDirect());
    for (const auto& mode : settings.copiers) {
        targets.push_back(std::make_unique<Copier>(mode));
    }
    targets.push_back(makeVelk());
    if (settings.quiet > 0) {
        Trips trips;
        for (int rep = 0; rep < settings.reps; ++rep) {
            for (auto& [name, more] : quietRoundTrips(targets, settings.quiet)) {
                trips[name].insert(trips[name].end(), more.begin(), more.end());
            }
        }
        std::printf("%d repetitions of %d round trips on each target\n", settings.reps, settings.quiet);
        printTrips(targets, trips);
        return 0;
    }
    Results toClient;
    Results toServer;
    for (int rep = 0; rep < settings.reps; ++rep) {
        for (auto& target : targets) {
            toClient[target->name()].push_back(bulk(*target, settings.bytes, true));
            toServer[target->name()].push_back(bulk(*target, settings.bytes, false));
        }
    }
    std::printf("%d repetitions of %llu bytes; CPU in s per GiB\n", settings.reps,
                static_cast<unsigned long long>(settings.bytes));
    print("server to client", targets, toClient);
    print("client to server", targets, toServer);
    return 0;
}
