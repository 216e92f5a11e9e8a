// The benchmarks' far ends on their unix sockets: the listening socket,
// non-blocking, at a path whose old file goes first, and the sending of what a
// peer was not ready to take yet.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace VelkBench {

// -1 after saying why on standard error, prefixed by `program`.
inline int listenUnix(const std::string& path, const char* program) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 64) != 0) {
        std::fprintf(stderr, "%s: listen: %m\n", program);
        return -1;
    }
    return fd;
}

// Sends what `unsent` holds until the peer takes no more; false when it has gone.
inline bool sendUnsent(int fd, std::string& unsent) {
    while (!unsent.empty()) {
        const ssize_t sent = send(fd, unsent.data(), unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        unsent.erase(0, static_cast<size_t>(sent));
    }
    return true;
}

}  // namespace VelkBench
