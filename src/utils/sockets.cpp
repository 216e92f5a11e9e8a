// Socket set-up on IPv4 TCP and unix stream sockets, and the exact-length
// transfer loops.
#include "utils/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "logger.h"

namespace Velk::Socket {

namespace {

constexpr size_t unixPathMax = sizeof(sockaddr_un::sun_path) - 1;

void logFailed(const char* func, const char* call) {
    const int error = errno;
    Syslog::error("%s: %s failed, error: %s, code: %d", func, call, strerror(error), error);
}

// Logs the failed call, closes the descriptor and gives -1.
int failClose(const char* func, const char* call, int fd) {
    logFailed(func, call);
    close(fd);
    return -1;
}

sockaddr_un unixAddress(const char* func, std::string_view path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;

    size_t length = path.size();
    if (length > unixPathMax) {
        Syslog::warning("%s: unix path is long, truncated to size: %d", func, static_cast<int>(unixPathMax));
        length = unixPathMax;
    }
    std::memcpy(addr.sun_path, path.data(), length);
    return addr;
}

}  // namespace

int tcpListen(std::string_view ipaddr, uint16_t port, int backlog) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        logFailed("tcpListen", "socket");
        return -1;
    }

    const int reuse = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) < 0) {
        const int error = errno;
        Syslog::warning("%s: socket reuseaddr failed, error: %s, code: %d", "tcpListen", strerror(error),
                        error);
    }

    const std::string addrText(ipaddr);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = ipaddr == "0.0.0.0" ? htonl(INADDR_ANY) : inet_addr(addrText.c_str());

    Syslog::debug("%s: bind addr: %s, port: %d", "tcpListen", addrText.c_str(), static_cast<int>(port));
    // An unparsable text gives inet_addr's broadcast address, which Linux lets
    // a TCP socket bind to; such an address must fail as a bind.
    in_addr parsed{};
    if (addr.sin_addr.s_addr != htonl(INADDR_ANY) && inet_aton(addrText.c_str(), &parsed) == 0) {
        errno = EADDRNOTAVAIL;
        return failClose("tcpListen", "bind", fd);
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        return failClose("tcpListen", "bind", fd);
    }

    Syslog::debug("%s: listen: %d, conn: %d", "tcpListen", fd, backlog);
    if (listen(fd, backlog) != 0) {
        return failClose("tcpListen", "listen", fd);
    }
    return fd;
}

int tcpConnect(std::string_view ipaddr, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        logFailed("tcpConnect", "socket");
        return -1;
    }

    const std::string addrText(ipaddr);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr(addrText.c_str());
    addr.sin_port = htons(port);

    Syslog::debug("%s: ipaddr: %s, port: %u", "tcpConnect", addrText.c_str(), static_cast<unsigned>(port));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        return failClose("tcpConnect", "connect", fd);
    }

    Syslog::debug("%s: fd: %d", "tcpConnect", fd);
    return fd;
}

int tcpAccept(int fd, std::string* peer) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    const int sock = accept(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    if (sock < 0) {
        logFailed("tcpAccept", "accept");
        return -1;
    }

    if (peer) {
        char text[16] = {};
        if (inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text))) {
            peer->assign(text);
        } else {
            const int error = errno;
            Syslog::warning("%s: %s failed, error: %s, code: %d", "tcpAccept", "inet_ntop", strerror(error),
                            error);
        }
    }
    return sock;
}

int unixListen(std::string_view path, int backlog) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        logFailed("unixListen", "socket");
        return -1;
    }

    const sockaddr_un addr = unixAddress("unixListen", path);
    Syslog::debug("%s: bind path: %s", "unixListen", addr.sun_path);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        return failClose("unixListen", "bind", fd);
    }

    Syslog::debug("%s: listen: %d, conn: %d", "unixListen", fd, backlog);
    if (listen(fd, backlog) != 0) {
        return failClose("unixListen", "listen", fd);
    }
    return fd;
}

namespace {

// A socket that is not there yet, or bound but not yet listening, is only an
// error when the caller will not try again.
int connectUnix(const char* func, std::string_view path, bool quietWhileStarting) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        logFailed(func, "socket");
        return -1;
    }

    const sockaddr_un addr = unixAddress(func, path);
    Syslog::debug("%s: path: %s", func, addr.sun_path);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (quietWhileStarting && (errno == ECONNREFUSED || errno == ENOENT)) {
            const int refused = errno;
            close(fd);
            errno = refused;
            return -1;
        }
        return failClose(func, "connect", fd);
    }

    Syslog::debug("%s: fd: %d", func, fd);
    return fd;
}

}  // namespace

int unixConnect(std::string_view path) {
    return connectUnix("unixConnect", path, false);
}

int unixTryConnect(std::string_view path) {
    return connectUnix("unixTryConnect", path, true);
}

int unixAccept(int fd) {
    const int sock = accept(fd, nullptr, nullptr);
    if (sock < 0) {
        logFailed("unixAccept", "accept");
        return -1;
    }
    return sock;
}

void recvRaw(int fd, void* ptr, ssize_t len) {
    auto* pos = static_cast<uint8_t*>(ptr);
    while (len > 0) {
        const ssize_t real = recv(fd, pos, static_cast<size_t>(len), 0);
        if (real > 0) {
            pos += real;
            len -= real;
            continue;
        }
        if (real == 0) {
            Syslog::warning("%s: %s", "recvRaw", "end stream");
            throw velk_error("recvRaw");
        }
        if (errno == EAGAIN || errno == EINTR) {
            continue;
        }
        logFailed("recvRaw", "recv");
        throw velk_error("recvRaw");
    }
}

void sendRaw(int fd, const void* ptr, ssize_t len) {
    const auto* pos = static_cast<const uint8_t*>(ptr);
    while (len > 0) {
        const ssize_t real = send(fd, pos, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (real > 0) {
            pos += real;
            len -= real;
            continue;
        }
        if (real == 0) {
            Syslog::warning("%s: %s", "sendRaw", "end stream");
            throw velk_error("sendRaw");
        }
        if (errno == EAGAIN || errno == EINTR) {
            continue;
        }
        logFailed("sendRaw", "send");
        throw velk_error("sendRaw");
    }
}

uint16_t recvInt16(int fd) {
    uint16_t value = 0;
    recvRaw(fd, &value, sizeof(value));
    return value;
}

uint32_t recvInt32(int fd) {
    uint32_t value = 0;
    recvRaw(fd, &value, sizeof(value));
    return value;
}

uint64_t recvInt64(int fd) {
    uint64_t value = 0;
    recvRaw(fd, &value, sizeof(value));
    return value;
}

std::vector<uint8_t> recvData(int fd, size_t len) {
    std::vector<uint8_t> data(len, 0);
    if (len > 0) {
        recvRaw(fd, data.data(), static_cast<ssize_t>(len));
    }
    return data;
}

}  // namespace Velk::Socket
