// The one far end of the set-up benchmark, started once for the run: it
// listens on a unix socket, takes any number of connections and sends back
// every byte unchanged. DIRECT connects to it, haproxy and the proxy's
// instant transport reach it through links.
//   relay_echo_server /ipc-socket:PATH
// Ends on SIGTERM or SIGINT (their default action).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include "far_end_socket.h"

namespace {

struct Connection {
    int fd = -1;
    std::string unsent;  // what the peer was not ready to take yet
};

// Sends what is left for the peer; false when it has gone.
bool flush(Connection& connection) {
    return VelkBench::sendUnsent(connection.fd, connection.unsent);
}

// Reads what arrived and sends it back; false when the peer has gone.
bool echo(Connection& connection) {
    std::array<char, 65536> buffer{};
    const ssize_t count = recv(connection.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR)) {
        return false;
    }
    if (count > 0) {
        connection.unsent.append(buffer.data(), static_cast<size_t>(count));
    }
    return flush(connection);
}

// A peer that does not take its echo is not read from until it does.
short eventsFor(const Connection& connection) {
    return connection.unsent.empty() ? POLLIN : POLLOUT;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string prefix = "/ipc-socket:";
    if (argc != 2 || std::string(argv[1]).rfind(prefix, 0) != 0) {
        std::fprintf(stderr, "usage: %s /ipc-socket:PATH\n", argv[0]);
        return 2;
    }
    const int listenFd = VelkBench::listenUnix(argv[1] + prefix.size(), "relay_echo_server");
    if (listenFd < 0) {
        return 1;
    }
    std::list<Connection> connections;
    std::vector<pollfd> fds;
    while (true) {
        fds.assign(1, {listenFd, POLLIN, 0});
        for (const auto& connection : connections) {
            fds.push_back({connection.fd, eventsFor(connection), 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            std::perror("relay_echo_server: poll");
            return 1;
        }
        size_t index = 1;
        for (auto it = connections.begin(); it != connections.end(); ++index) {
            // A hang-up or an error shows in the read or the send it wakes.
            const bool alive = fds[index].revents == 0 || (it->unsent.empty() ? echo(*it) : flush(*it));
            if (alive) {
                ++it;
            } else {
                close(it->fd);
                it = connections.erase(it);
            }
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                connections.push_back({fd, {}});
            }
        }
    }
}
