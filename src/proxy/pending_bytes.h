// Bytes read from one side of a transfer job and not yet accepted by the
// other.  Spliced, they wait in a pipe of their own and move from socket to
// pipe to socket inside the kernel; copied (or where no pipe can be had, or a
// descriptor does not splice or would block), they wait in a buffer.  While
// any are left the direction reads nothing more, so a slow receiver slows its
// sender without ever blocking the opposite direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "utils/unique_fd.h"

namespace Velk {

// A read below this is a message (a request or an answer of an interactive
// session), one of this size or more is part of a stream.
constexpr int64_t streamReadSize = int64_t{16} * 1024;

inline bool isMessage(int64_t readBytes) {
    return readBytes > 0 && readBytes < streamReadSize;
}

// Why a direction of a copy ended, returned, negative, where the bytes moved
// would be.
enum class CopyEnd : int64_t { Exception = -1, Closed = -2, ReceiveError = -3, SendError = -4 };

constexpr int64_t copyEnd(CopyEnd end) {
    return static_cast<int64_t>(end);
}

class PendingBytes {
public:
    // How the bytes move where both ways are open.  CopiedWhileTaken copies
    // while the receiver takes every read whole and splices while it is
    // behind, so that what waits for it is neither copied again nor held in
    // the relay's memory.  SplicedWhileLarge splices while reads are large
    // and copies after a small one: a small message costs less through the
    // read buffer than through the pipe's two splices.
    enum class Route { Spliced, CopiedWhileTaken, SplicedWhileLarge };
    explicit PendingBytes(Route way);
    PendingBytes(const PendingBytes&) = delete;
    PendingBytes& operator=(const PendingBytes&) = delete;

    bool empty() const { return inPipe == 0 && offset == data.size(); }

    // Moves what `from` has into the pipe, for `to`: the bytes read, 0 when
    // nothing waits, CopyEnd::Closed when `from` closed or ReceiveError; nullopt
    // when the caller is to read instead: the route copies now, or these
    // descriptors cannot splice.
    std::optional<int64_t> spliceFrom(int from, int to);
    // Whether the next read is the caller's to copy.
    bool copying() const;
    // A read of this many bytes was made, spliced or copied.
    void afterRead(int64_t bytes);
    // Hands what waits to `to`: the bytes still left, or CopyEnd::SendError.
    int64_t flush(int to);
    // Keeps the bytes `to` did not take of a buffer the caller read.
    void keep(const uint8_t* bytes, size_t size);

private:
    bool canSplice(int from, int to);
    int64_t flushPipe(int to);
    int64_t flushBuffer(int to);

    Route route;
    bool receiverBehind = false;  // it left bytes of a read behind
    bool lastReadSmall = true;    // a connection starts with small messages
    bool freshInPipe = false;     // the last read was spliced, not yet all sent
    Utils::UniqueFd pipeRead;
    Utils::UniqueFd pipeWrite;
    size_t pipeCapacity = 0;
    size_t inPipe = 0;
    std::optional<bool> splicing;  // decided on the first read
    std::vector<uint8_t> data;
    size_t offset = 0;
};

// As much of the bytes as `to` takes now: their count, or CopyEnd::SendError.
int64_t sendWhatFits(int to, const uint8_t* bytes, size_t size);

}  // namespace Velk
