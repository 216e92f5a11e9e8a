// One forwarded client: the accepted TCP socket, the connection to the
// transport's unix socket, the transport process and the copy thread that
// moves bytes both ways until either side ends.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "proxy/pending_bytes.h"

namespace Velk {

// The transport's pid and the future of its wait status.
using TransportHandle = std::pair<int, std::future<int>>;

// Moves what is ready without blocking: first the pending bytes of this
// direction, then, when they are all gone and `from` has data, one read and as
// much of it as `to` takes at once (spliced when both descriptors do not
// block, as the job's do; the calling thread then blocks SIGPIPE, which a
// splice to a closed peer raises).  Returns the bytes read (0 when nothing was
// read), -1 on an exception, -2 when `from` closed, -3 on a receive error, -4
// on a send error.
int64_t jobTransferIter(int from, int to, PendingBytes& pending, std::vector<uint8_t>& buf);

// Waits for a transport that was sent SIGTERM; one that ignores it is killed
// after 5 seconds, so no caller (holding the jobs lock, say) waits forever.
void awaitTransportEnd(TransportHandle& transport);

class JobTransfer {
public:
    // Starts the copy thread before it returns; owns both descriptors.
    // remote is the client's address, for the session's log lines.
    JobTransfer(int clientFd, int transportFd, const std::string& socketFile, const std::string& samFile,
                TransportHandle handle, uint32_t session, std::string remote = {});
    // Stops the copy thread and the transport (SIGTERM, SIGKILL after 5 s),
    // closes both sockets and removes the socket and SAM files.
    ~JobTransfer();

    JobTransfer(const JobTransfer&) = delete;
    JobTransfer& operator=(const JobTransfer&) = delete;

    uint32_t session() const { return sessionId; }
    int transportPid() const { return transport.first; }
    const std::string& transportSocket() const { return socketPath; }
    bool isRunning() const { return running.load(); }
    // One line for the administrator: session, client, transport, how long,
    // bytes each way so far.
    std::string describe() const;

private:
    void copyLoop();
    int64_t copyUntilStopped();
    // Which side ended the copy: the result of a step and whether it was the
    // step from the client.
    void noteEnd(int64_t result, bool fromClient);
    int pollTimeout(bool lookForAnswer) const;

    int sock = -1;
    int unixfd = -1;
    uint32_t sessionId = 0;
    std::atomic<bool> running{true};
    int wakefd = -1;  // wakes the copy thread when the job is stopped
    std::thread thread;
    std::string socketPath;
    std::string samPath;
    std::vector<uint8_t> buf;
    TransportHandle transport;
    std::string remoteAddr;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    // Written by the copy thread, read by SIGUSR1's report.
    std::atomic<uint64_t> bytesFromClient{0};
    std::atomic<uint64_t> bytesToClient{0};
    const char* endedBy = "proxy";
};

}  // namespace Velk
