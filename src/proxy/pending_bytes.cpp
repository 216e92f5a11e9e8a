// See pending_bytes.h.
#include "proxy/pending_bytes.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "logger.h"

namespace Velk {

namespace {

// As large as one read of the buffer path; the default pipe holds 64 KiB.
constexpr int wantedPipeSize = 256 * 1024;
constexpr unsigned spliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

void logFailure(const char* function, const char* call) {
    Syslog::error("%s: %s failed, error: %s, code: %d", function, call, strerror(errno), errno);
}

// A socket splice waits on the descriptor's own flag, not on the splice's:
// a blocking one would hold the relay loop, and with it the other direction
// and every other session of the loop.
bool isNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

}  // namespace

PendingBytes::PendingBytes(Route way) : route(way) {
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    pipeRead.reset(ends[0]);
    pipeWrite.reset(ends[1]);
    fcntl(pipeWrite.get(), F_SETPIPE_SZ, wantedPipeSize);
    const int capacity = fcntl(pipeWrite.get(), F_GETPIPE_SZ);
    pipeCapacity = capacity > 0 ? static_cast<size_t>(capacity) : 0;
}

bool PendingBytes::copying() const {
    switch (route) {
        case Route::CopiedWhileTaken:
            return !receiverBehind;
        case Route::SplicedWhileLarge:
            return lastReadSmall;
        case Route::Spliced:
            break;
    }
    return false;
}

void PendingBytes::afterRead(int64_t bytes) {
    lastReadSmall = isMessage(bytes);
}

bool PendingBytes::canSplice(int from, int to) {
    if (!splicing) {
        splicing = pipeCapacity > 0 && isNonBlocking(from) && isNonBlocking(to);
    }
    return *splicing;
}

std::optional<int64_t> PendingBytes::spliceFrom(int from, int to) {
    if (copying() || !canSplice(from, to)) {
        return std::nullopt;
    }
    const ssize_t moved = splice(from, nullptr, pipeWrite.get(), nullptr, pipeCapacity, spliceFlags);
    if (moved > 0) {
        inPipe = static_cast<size_t>(moved);
        freshInPipe = true;
        return moved;
    }
    if (moved == 0) {
        return copyEnd(CopyEnd::Closed);
    }
    if (errno == EAGAIN || errno == EINTR) {
        return 0;
    }
    if (errno == EINVAL) {
        // A descriptor that does not splice: the buffer serves from now on.
        splicing = false;
        return std::nullopt;
    }
    logFailure("spliceFrom", "splice");
    return copyEnd(CopyEnd::ReceiveError);
}

int64_t PendingBytes::flush(int to) {
    const int64_t left = flushPipe(to);
    return left != 0 ? left : flushBuffer(to);
}

void PendingBytes::keep(const uint8_t* bytes, size_t size) {
    data.assign(bytes, bytes + size);
    offset = 0;
    receiverBehind = size > 0;
}

int64_t PendingBytes::flushPipe(int to) {
    while (inPipe > 0) {
        const ssize_t sent = splice(pipeRead.get(), nullptr, to, nullptr, inPipe, spliceFlags);
        if (sent > 0) {
            inPipe -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent == 0 || errno == EAGAIN) {
            break;
        }
        logFailure("flushPipe", "splice");
        return copyEnd(CopyEnd::SendError);
    }
    // A read that went out whole at once: the receiver has caught up.
    if (inPipe == 0 && freshInPipe) {
        receiverBehind = false;
    }
    freshInPipe = false;
    return static_cast<int64_t>(inPipe);
}

int64_t PendingBytes::flushBuffer(int to) {
    const int64_t sent = sendWhatFits(to, data.data() + offset, data.size() - offset);
    if (sent < 0) {
        return sent;
    }
    offset += static_cast<size_t>(sent);
    return static_cast<int64_t>(data.size() - offset);
}

int64_t sendWhatFits(int to, const uint8_t* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t sent = send(to, bytes + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            logFailure("sendWhatFits", "send");
            return copyEnd(CopyEnd::SendError);
        }
        done += static_cast<size_t>(sent);
    }
    return static_cast<int64_t>(done);
}

}  // namespace Velk
