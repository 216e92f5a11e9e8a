// A far end for the interactive benchmark: it listens on a unix socket like
// the stand-in transport, takes any number of connections, echoes each
// one's opening packet (the client's connection request) at once and
// answers every later request of SIZE bytes after a random delay between
// MIN and MAX microseconds. The answer is the request with bytes 8 to 15 replaced by the
// delay actually kept (microseconds, host order), so the client can tell the
// relay's share of the round trip from the far end's.
//   relay_delay_transport /ipc-socket:PATH /standin:delay-echo:SIZE:MIN:MAX [ignored arguments]
// Ends on SIGTERM or SIGINT (their default action); arguments it does not know
// (the ones the proxy adds for a real transport) are ignored.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "far_end_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string socketPath;
    size_t size = 64;
    long minMicros = 1000;
    long maxMicros = 5000;
};

struct Answer {
    Clock::time_point due;
    Clock::time_point read;
    std::vector<char> bytes;
};

struct Connection {
    int fd = -1;
    std::vector<char> opening;  // the TPKT packet a client opens with, until it is whole
    bool opened = false;
    std::vector<char> partial;
    std::deque<Answer> waiting;  // in order of arrival, each due at its own moment
    std::string unsent;
};

bool parse(int argc, char** argv, Options& options) {
    const std::string socketPrefix = "/ipc-socket:";
    const std::string modePrefix = "/standin:delay-echo:";
    bool haveMode = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(socketPrefix, 0) == 0) {
            options.socketPath = arg.substr(socketPrefix.size());
        } else if (arg.rfind(modePrefix, 0) == 0) {
            unsigned long size = 0;
            if (std::sscanf(arg.c_str() + modePrefix.size(), "%lu:%ld:%ld", &size, &options.minMicros,
                            &options.maxMicros) != 3 ||
                size < 16 || options.minMicros < 0 || options.maxMicros < options.minMicros) {
                return false;
            }
            options.size = size;
            haveMode = true;
        }
    }
    return haveMode && !options.socketPath.empty();
}

// The opening packet's length is in its header (bytes 2 and 3, big-endian).
void takeOpening(Connection& connection, char byte) {
    connection.opening.push_back(byte);
    const auto& packet = connection.opening;
    if (packet.size() >= 4 && packet.size() == (static_cast<size_t>(static_cast<uint8_t>(packet[2])) << 8U |
                                                static_cast<uint8_t>(packet[3]))) {
        connection.unsent.append(packet.data(), packet.size());
        connection.opened = true;
    }
}

// Reads what arrived and schedules an answer for every whole request; false
// when the peer has gone.
bool readRequests(Connection& connection, const Options& options, std::mt19937& random) {
    std::uniform_int_distribution<long> delay(options.minMicros, options.maxMicros);
    char buffer[16384];
    const ssize_t count = recv(connection.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR)) {
        return false;
    }
    const auto now = Clock::now();
    for (ssize_t i = 0; i < count; ++i) {
        if (!connection.opened) {
            takeOpening(connection, buffer[i]);
            continue;
        }
        connection.partial.push_back(buffer[i]);
        if (connection.partial.size() == options.size) {
            connection.waiting.push_back(
                {now + std::chrono::microseconds(delay(random)), now, std::move(connection.partial)});
            connection.partial.clear();
        }
    }
    return true;
}

// Sends every answer that is due; false when the peer has gone.
bool sendDue(Connection& connection, Clock::time_point now) {
    // Answers are due in any order; each goes out at its moment.
    for (auto it = connection.waiting.begin(); it != connection.waiting.end();) {
        if (it->due > now) {
            ++it;
            continue;
        }
        const auto kept = std::chrono::duration_cast<std::chrono::microseconds>(now - it->read).count();
        const auto value = static_cast<uint64_t>(kept);
        std::memcpy(it->bytes.data() + 8, &value, sizeof(value));
        connection.unsent.append(it->bytes.data(), it->bytes.size());
        it = connection.waiting.erase(it);
    }
    return VelkBench::sendUnsent(connection.fd, connection.unsent);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s /ipc-socket:PATH /standin:delay-echo:SIZE:MIN_US:MAX_US\n", argv[0]);
        return 2;
    }
    const int listenFd = VelkBench::listenUnix(options.socketPath, "relay_delay_transport");
    if (listenFd < 0) {
        return 1;
    }
    std::mt19937 random(static_cast<unsigned>(getpid()));
    std::list<Connection> connections;
    while (true) {
        std::vector<pollfd> fds{{listenFd, POLLIN, 0}};
        auto next = Clock::time_point::max();
        for (const auto& connection : connections) {
            fds.push_back(
                {connection.fd, static_cast<short>(POLLIN | (connection.unsent.empty() ? 0 : POLLOUT)), 0});
            for (const auto& answer : connection.waiting) {
                next = std::min(next, answer.due);
            }
        }
        timespec timeout{};
        timespec* wait = nullptr;
        if (next != Clock::time_point::max()) {
            const auto left = std::max<Clock::duration>(next - Clock::now(), Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            wait = &timeout;
        }
        if (ppoll(fds.data(), fds.size(), wait, nullptr) < 0 && errno != EINTR) {
            std::perror("relay_delay_transport: ppoll");
            return 1;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                connections.push_back({fd, {}, false, {}, {}, {}});
            }
        }
        size_t index = 1;
        const auto now = Clock::now();
        for (auto it = connections.begin(); it != connections.end(); ++index) {
            const bool known = index < fds.size();
            bool alive = true;
            if (known && (fds[index].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                alive = readRequests(*it, options, random);
            }
            alive = alive && sendDue(*it, now);
            if (!alive) {
                close(it->fd);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }
}
