// One forwarded client: the accepted TCP socket, the connection to the
// transport's unix socket, the transport process and the copy thread that
// moves bytes both ways until either side ends.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "proxy/answer_look.h"
#include "proxy/pending_bytes.h"
#include "proxy/rdp_transport.h"
#include "proxy/wake_event.h"
#include "utils/unique_fd.h"

namespace Velk {

// Moves what is ready without blocking: first the pending bytes of this
// direction, then, when they are all gone and `from` has data, one read and as
// much of it as `to` takes at once (spliced when `pending` splices and both
// descriptors do not block, as the job's do; the calling thread then blocks
// SIGPIPE, which a splice to a closed peer raises).  Returns the bytes read (0 when nothing was
// read), -1 on an exception, -2 when `from` closed, -3 on a receive error, -4
// on a send error.
int64_t jobTransferIter(int from, int to, PendingBytes& pending, std::vector<uint8_t>& buf);

// The files a job removes at its end.
struct JobFiles {
    std::string socketPath;
    std::string samPath;
};

class JobTransfer {
public:
    // Starts the copy thread before it returns; owns both descriptors.
    // remote is the client's address, for the session's log lines.
    JobTransfer(int clientFd, int transportFd, const std::string& socketFile, const std::string& samFile,
                TransportHandle handle, uint32_t session, std::string remote = {});
    // Stops the job, joins the copy thread, closes both sockets, waits for
    // the transport (SIGKILL after 5 s) and removes the socket and SAM files.
    ~JobTransfer();

    JobTransfer(const JobTransfer&) = delete;
    JobTransfer& operator=(const JobTransfer&) = delete;

    // Asks the job to end now: the transport gets SIGTERM and the copy
    // thread wakes. Quick and safe to call again; the waiting is left to
    // the destructor.
    void stop();

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
    // Both directions of one wake-up: the bytes moved, or the failed step's result.
    int64_t moveReady(const pollfd (&fds)[3]);
    int64_t copyStep(bool fromClient);
    // Which side ended the copy: the result of a step and whether it was the
    // step from the client.
    void noteEnd(int64_t result, bool fromClient);

    Utils::UniqueFd sock;
    Utils::UniqueFd unixfd;
    uint32_t sessionId = 0;
    std::atomic<bool> running{true};
    std::atomic<bool> stopRequested{false};
    WakeEvent wake;  // wakes the copy thread when the job is stopped
    std::string socketPath;
    std::string samPath;
    // The copy thread's alone: the read buffer, the bytes each side has not
    // taken yet, and whether to look for an answer.
    std::vector<uint8_t> buf;
    // Splicing a unix socket's pages into TCP costs the sender more than
    // copying them through the read buffer; from TCP into a unix socket the
    // splice is the cheaper way (bench/bulk_ceiling.cpp measures both).
    PendingBytes toTransport{PendingBytes::Route::Spliced};
    PendingBytes toClient{PendingBytes::Route::CopiedWhileTaken};
    AnswerLook answerLook;
    TransportHandle transport;
    std::string remoteAddr;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    // Written by the copy thread, read by SIGUSR1's report.
    std::atomic<uint64_t> bytesFromClient{0};
    std::atomic<uint64_t> bytesToClient{0};
    const char* endedBy = "proxy";
    // Last: it starts after everything it uses is made.
    std::thread thread;
};

}  // namespace Velk
