// Counts the X requests a client sends: a small proxy display that forwards
// every connection to the real display unchanged and parses the client's side
// of the protocol just enough to count requests.  SIGUSR1 writes the count of
// all connections so far to the report file.
//   x_request_counter <listen display number> <target display number> <report file>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::atomic<bool> reportWanted{false};
std::atomic<bool> stopWanted{false};

// Follows the client's byte stream: the connection setup, then one request
// after another, each by its length field (BIG-REQUESTS included).
class RequestParser {
public:
    uint64_t requests = 0;

    void feed(const uint8_t* data, size_t size) {
        for (size_t i = 0; i < size;) {
            if (skip > 0) {
                const size_t step = std::min<uint64_t>(skip, size - i);
                skip -= step;
                i += step;
                continue;
            }
            header.push_back(data[i++]);
            parseHeader();
        }
    }

private:
    uint32_t word16(size_t at) const {
        return bigEndian ? (header[at] << 8) | header[at + 1] : header[at] | (header[at + 1] << 8);
    }
    uint32_t word32(size_t at) const {
        return bigEndian
                   ? (header[at] << 24) | (header[at + 1] << 16) | (header[at + 2] << 8) | header[at + 3]
                   : header[at] | (header[at + 1] << 8) | (header[at + 2] << 16) | (header[at + 3] << 24);
    }
    static uint64_t padded(uint32_t n) { return (n + 3) & ~3U; }

    void parseHeader() {
        if (!setupDone) {
            if (header.size() == 12) {
                bigEndian = header[0] == 'B';
                skip = padded(word16(6)) + padded(word16(8));
                setupDone = true;
                header.clear();
            }
            return;
        }
        if (header.size() == 4 && word16(2) != 0) {
            skip = uint64_t{word16(2)} * 4 - 4;
        } else if (header.size() == 8 && word16(2) == 0) {
            skip = uint64_t{word32(4)} * 4 - 8;
        } else {
            return;
        }
        ++requests;
        header.clear();
    }

    std::vector<uint8_t> header;
    uint64_t skip = 0;
    bool setupDone = false;
    bool bigEndian = false;
};

struct Connection {
    int client;
    int server;
    RequestParser parser;
};

std::string socketPath(int display) {
    return "/tmp/.X11-unix/X" + std::to_string(display);
}

int unixSocket(const std::string& path, bool listening) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    const auto* raw = reinterpret_cast<sockaddr*>(&addr);
    const bool ok = listening ? bind(fd, raw, sizeof(addr)) == 0 && listen(fd, 16) == 0
                              : connect(fd, raw, sizeof(addr)) == 0;
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

bool forward(int from, int to, RequestParser* parser) {
    uint8_t buffer[65536];
    const ssize_t n = recv(from, buffer, sizeof(buffer), 0);
    if (n <= 0) {
        return false;
    }
    if (parser) {
        parser->feed(buffer, static_cast<size_t>(n));
    }
    for (ssize_t sent = 0; sent < n;) {
        const ssize_t m = send(to, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
        if (m <= 0) {
            return false;
        }
        sent += m;
    }
    return true;
}

void writeReport(const char* path, uint64_t total) {
    if (FILE* out = std::fopen(path, "w")) {
        std::fprintf(out, "%llu\n", static_cast<unsigned long long>(total));
        std::fclose(out);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <listen display> <target display> <report file>\n", argv[0]);
        return 2;
    }
    const std::string listenPath = socketPath(std::stoi(argv[1]));
    const int target = std::stoi(argv[2]);
    unlink(listenPath.c_str());
    const int listener = unixSocket(listenPath, true);
    if (listener < 0) {
        std::perror("listen");
        return 1;
    }
    signal(SIGUSR1, [](int) { reportWanted.exchange(true); });
    signal(SIGTERM, [](int) { stopWanted.exchange(true); });

    std::vector<Connection> connections;
    uint64_t closedRequests = 0;
    while (!stopWanted.load()) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (const auto& c : connections) {
            fds.push_back({c.client, POLLIN, 0});
            fds.push_back({c.server, POLLIN, 0});
        }
        const int ready = poll(fds.data(), fds.size(), 100);
        if (reportWanted.exchange(false)) {
            uint64_t total = closedRequests;
            for (const auto& c : connections) {
                total += c.parser.requests;
            }
            writeReport(argv[3], total);
        }
        if (ready <= 0) {
            continue;
        }
        const size_t polled = connections.size();
        if (fds[0].revents & POLLIN) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = unixSocket(socketPath(target), false);
            if (client >= 0 && server >= 0) {
                connections.push_back({client, server, {}});
            }
        }
        for (size_t i = 0; i < polled; ++i) {
            const auto& up = fds[1 + 2 * i];
            const auto& down = fds[2 + 2 * i];
            auto& c = connections[i];
            const bool alive =
                (!(up.revents & (POLLIN | POLLHUP)) || forward(c.client, c.server, &c.parser)) &&
                (!(down.revents & (POLLIN | POLLHUP)) || forward(c.server, c.client, nullptr));
            if (!alive) {
                closedRequests += c.parser.requests;
                close(c.client);
                close(c.server);
                c.client = c.server = -1;
            }
        }
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const Connection& c) { return c.client < 0; }),
                          connections.end());
    }
    unlink(listenPath.c_str());
    return 0;
}
