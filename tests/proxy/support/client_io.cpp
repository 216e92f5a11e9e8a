// See client_io.h.
#include "client_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "standin_bytes.h"

namespace VelkTest {

std::string exchange(int fd, const std::string& data, size_t expected) {
    std::string received;
    size_t sent = 0;
    std::vector<char> chunk(1 << 20);
    while (received.size() < expected) {
        pollfd pfd{fd, static_cast<short>(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
        if (poll(&pfd, 1, 20000) <= 0) {
            break;
        }
        if ((pfd.revents & POLLOUT) && sent < data.size()) {
            const ssize_t n = send(fd, data.data() + sent, std::min<size_t>(data.size() - sent, chunk.size()),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            }
        }
        if (pfd.revents & (POLLIN | POLLHUP)) {
            const ssize_t n = recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
            if (n == 0) {
                break;
            }
            if (n > 0) {
                received.append(chunk.data(), static_cast<size_t>(n));
            }
        }
    }
    return received;
}

bool sendAll(int fd, const char* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t count = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (count <= 0) {
            return false;
        }
        done += static_cast<size_t>(count);
    }
    return true;
}

bool sendAll(int fd, const std::string& bytes) {
    return sendAll(fd, bytes.data(), bytes.size());
}

std::string receiveAll(int fd, size_t limit, std::chrono::milliseconds idle) {
    std::string bytes;
    std::vector<char> chunk(1 << 20);
    while (bytes.size() < limit) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(idle.count())) <= 0) {
            break;
        }
        const ssize_t count = recv(fd, chunk.data(), std::min(chunk.size(), limit - bytes.size()), 0);
        if (count <= 0) {
            break;
        }
        bytes.append(chunk.data(), static_cast<size_t>(count));
    }
    return bytes;
}

bool peerClosed(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<char> chunk(1 << 16);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) {
            return false;
        }
        if (recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT) <= 0) {
            return true;
        }
    }
    return false;
}

bool sendConnectionRequest(int fd) {
    return sendAll(fd, reinterpret_cast<const char*>(VelkStandin::connectionRequest),
                   sizeof(VelkStandin::connectionRequest));
}

bool readConnectionConfirm(int fd, std::chrono::milliseconds timeout) {
    const std::string answer = receiveAll(fd, sizeof(VelkStandin::connectionConfirm), timeout);
    return answer ==
           std::string(std::begin(VelkStandin::connectionConfirm), std::end(VelkStandin::connectionConfirm));
}

}  // namespace VelkTest
