// One forwarded client: the accepted TCP socket, the connection to the
// transport's unix socket, the transport process, and the channel a relay
// loop serves to move bytes both ways until either side ends.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "proxy/answer_look.h"
#include "proxy/pending_bytes.h"
#include "proxy/rdp_transport.h"
#include "proxy/relay_loop.h"
#include "utils/unique_fd.h"
#include "utils/wake_event.h"

namespace Velk {

// Moves what is ready without blocking: first the pending bytes of this
// direction, then, when they are all gone and `from` has data, one read and as
// much of it as `to` takes at once (spliced when `pending` splices and both
// descriptors do not block, as the job's do; the relay loop's thread blocks
// SIGPIPE, which a splice to a closed peer raises).  Returns the bytes read
// (0 when nothing was read), -1 on an exception, -2 when `from` closed, -3 on
// a receive error, -4 on a send error.
int64_t jobTransferIter(int from, int to, PendingBytes& pending, std::vector<uint8_t>& buf);

// The files a job removes at its end.
struct JobFiles {
    std::string socketPath;
    std::string samPath;
};

class JobTransfer final : public RelayChannel {
public:
    // Owns both descriptors and is attached to the loop before it returns.
    // remote is the client's address, for the session's log lines.
    JobTransfer(RelayLoop& loop, int clientFd, int transportFd, const std::string& socketFile,
                const std::string& samFile, TransportHandle handle, uint32_t session,
                std::string remote = {});
    // Stops the job, waits until the loop has let it go, closes both
    // sockets, waits for the transport (SIGKILL after 5 s) and removes the
    // socket and SAM files.
    ~JobTransfer();

    JobTransfer(const JobTransfer&) = delete;
    JobTransfer& operator=(const JobTransfer&) = delete;

    // Asks the job to end now: the transport gets SIGTERM and the loop
    // hears of it. Quick and safe to call again; the waiting is left to
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
    void attached() override;
    void ready(RelayWatch& watch, uint32_t events, std::vector<uint8_t>& buffer) override;
    void detached() override;
    bool looking(Clock::time_point now) override;

    // What each socket waits for follows the bytes pending each way.
    void rewatch();
    // The steps one socket's readiness calls for: the bytes moved, or the
    // failed step's result.
    int64_t moveReady(bool clientSide, uint32_t events, std::vector<uint8_t>& buffer);
    int64_t copyStep(bool fromClient, std::vector<uint8_t>& buffer);
    // Which side ended the copy: the result of a step and whether it was the
    // step from the client.
    void noteEnd(int64_t result, bool fromClient);
    // The copy is over: its watches go, the end is logged.
    void finish(int64_t result);

    Utils::UniqueFd sock;
    Utils::UniqueFd unixfd;
    uint32_t sessionId = 0;
    std::atomic<bool> running{true};
    std::atomic<bool> stopRequested{false};
    Utils::WakeEvent wake;  // tells the loop that the job is stopped
    std::string socketPath;
    std::string samPath;
    // The loop thread's alone: the socket and stop watches, the bytes each
    // side has not taken yet, and whether to look for an answer.
    std::array<RelayWatch, 3> watches;
    bool finished = false;
    // Splicing a unix socket's pages into TCP costs the sender more than
    // copying them through the read buffer; from TCP into a unix socket the
    // splice is the cheaper way for a stream (bench/relay_ceiling.cpp
    // measures both), the copy for the client's small messages.
    PendingBytes toTransport{PendingBytes::Route::SplicedWhileLarge};
    PendingBytes toClient{PendingBytes::Route::CopiedWhileTaken};
    AnswerLooks answerLooks;
    bool lastMovedFromClient = false;  // which way the last bytes went
    TransportHandle transport;
    std::string remoteAddr;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    // Written by the loop thread, read by SIGUSR1's report.
    std::atomic<uint64_t> bytesFromClient{0};
    std::atomic<uint64_t> bytesToClient{0};
    const char* endedBy = "proxy";
    RelayLoop& relay;
};

}  // namespace Velk
