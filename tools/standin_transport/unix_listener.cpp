// Listens on and accepts from the IPC socket; see unix_listener.h.
#include "unix_listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace VelkStandin {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + " failed: " + std::strerror(errno));
}

}  // namespace

int listenUnix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        throw std::runtime_error("socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) {
        fail("socket");
    }
    if (bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listenFd, 1) != 0) {
        const int error = errno;
        close(listenFd);
        errno = error;
        fail("listening on " + path);
    }
    return listenFd;
}

int acceptConnection(int listenFd, int stopFd) {
    pollfd fds[] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("poll");
        }
        if (fds[1].revents & POLLIN) {
            return -1;
        }
        const int connection = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            return connection;
        }
        if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
            fail("accept");
        }
    }
}

}  // namespace VelkStandin
