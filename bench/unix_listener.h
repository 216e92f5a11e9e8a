// The listening unix socket of the benchmarks' far ends, non-blocking, at a
// path whose old file goes first.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

}  // namespace VelkBench
