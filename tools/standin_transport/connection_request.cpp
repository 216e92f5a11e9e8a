// See connection_request.h.
#include "connection_request.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "standin_bytes.h"
#include "stop_signals.h"

namespace VelkStandin {

namespace {

// Fills the buffer from the connection; the stop signal when one came first.
int readWhole(int connection, int stopFd, uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        pollfd fds[] = {{connection, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return readStopSignal(stopFd);
        }
        const ssize_t got = read(connection, data + done, size - done);
        if (got <= 0) {
            throw std::runtime_error("connection ended before the connection request");
        }
        done += static_cast<size_t>(got);
    }
    return 0;
}

}  // namespace

int takeConnectionRequest(int connection, int stopFd, bool answer) {
    uint8_t header[tpktHeaderSize] = {};
    if (const int stop = readWhole(connection, stopFd, header, sizeof(header))) {
        return stop;
    }
    if (header[0] != connectionRequest[0] || tpktLength(header) < tpktHeaderSize) {
        throw std::runtime_error("the connection opened without a TPKT packet");
    }
    std::vector<uint8_t> rest(tpktLength(header) - tpktHeaderSize);
    if (const int stop = readWhole(connection, stopFd, rest.data(), rest.size())) {
        return stop;
    }
    if (answer && write(connection, connectionConfirm, sizeof(connectionConfirm)) !=
                      static_cast<ssize_t>(sizeof(connectionConfirm))) {
        throw std::runtime_error("the connection confirm could not be sent");
    }
    return 0;
}

}  // namespace VelkStandin
