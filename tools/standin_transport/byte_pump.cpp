// The stand-in transport's data loop; see byte_pump.h.
#include "byte_pump.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "stop_signals.h"

namespace VelkStandin {

namespace {

// Large buffers keep the number of system calls per mebibyte small.
constexpr size_t bufferSize = 1 << 20;

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

BytePump::BytePump(int connection_, int stopFd_, DataMode mode_, uint64_t sourceBytes_)
    : connection(connection_),
      stopFd(stopFd_),
      mode(mode_),
      sourceBytes(sourceBytes_),
      outgoing(mode_ == DataMode::Sink ? 0 : bufferSize),
      incoming(mode_ == DataMode::Echo ? 0 : bufferSize) {
    fcntl(connection, F_SETFL, fcntl(connection, F_GETFL) | O_NONBLOCK);
}

PumpResult BytePump::run() {
    while (!finished()) {
        if (mode == DataMode::Source) {
            refillSource();
        }
        if (outputOpen && outputFinished()) {
            closeOutput();
        }
        pollfd fds[] = {{connection, wantedEvents(), 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
        }
        if (fds[1].revents & POLLIN) {
            result.stopSignal = readStopSignal(stopFd);
            break;
        }
        if (inputOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            readInput();
        }
        if (head < tail && (fds[0].revents & (POLLOUT | POLLHUP | POLLERR))) {
            writeOutput();
        }
    }
    return result;
}

bool BytePump::finished() const {
    return !inputOpen && (!outputOpen || outputFinished());
}

bool BytePump::outputFinished() const {
    switch (mode) {
        case DataMode::Echo:
            return !inputOpen && head == tail;
        case DataMode::Source:
            return generated == sourceBytes && head == tail;
        case DataMode::Sink:
            break;
    }
    return true;
}

short BytePump::wantedEvents() const {
    short events = 0;
    // An echo waits with reading while its buffer is full: the peer has to
    // take some bytes back first, which is the back-pressure it expects.
    if (inputOpen && (mode != DataMode::Echo || tail < outgoing.size())) {
        events |= POLLIN;
    }
    if (outputOpen && head < tail) {
        events |= POLLOUT;
    }
    return events;
}

void BytePump::readInput() {
    uint8_t* target = mode == DataMode::Echo ? outgoing.data() + tail : incoming.data();
    const size_t room = mode == DataMode::Echo ? outgoing.size() - tail : incoming.size();
    if (room == 0) {
        return;
    }
    const ssize_t count = recv(connection, target, room, 0);
    if (count > 0) {
        result.received.add(target, static_cast<size_t>(count));
        // Once the peer takes nothing more, an echo only counts what arrives.
        if (mode == DataMode::Echo && outputOpen) {
            tail += static_cast<size_t>(count);
        }
    } else if (count == 0 || !wouldBlock()) {
        inputOpen = false;
    }
}

void BytePump::writeOutput() {
    const ssize_t count = send(connection, outgoing.data() + head, tail - head, MSG_NOSIGNAL);
    if (count < 0) {
        if (!wouldBlock()) {
            // The peer takes nothing more: what is still queued is dropped.
            outputOpen = false;
            head = tail = 0;
        }
        return;
    }
    result.sent += static_cast<uint64_t>(count);
    head += static_cast<size_t>(count);
    if (head == tail) {
        head = tail = 0;
    } else if (mode == DataMode::Echo && tail == outgoing.size()) {
        // Make room for reading again without waiting for the rest to go.
        std::memmove(outgoing.data(), outgoing.data() + head, tail - head);
        tail -= head;
        head = 0;
    }
}

void BytePump::refillSource() {
    if (head != tail || generated == sourceBytes) {
        return;
    }
    const size_t size = static_cast<size_t>(std::min<uint64_t>(outgoing.size(), sourceBytes - generated));
    fillPattern(generated, outgoing.data(), size);
    generated += size;
    head = 0;
    tail = size;
}

void BytePump::closeOutput() {
    // The sink keeps its sending side open: closing it would look to the
    // proxy like a transport that has ended.
    if (mode != DataMode::Sink) {
        shutdown(connection, SHUT_WR);
    }
    outputOpen = false;
}

}  // namespace VelkStandin
