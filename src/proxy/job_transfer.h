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
#include "proxy/session_record.h"
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

// What a transfer job is made of.
struct JobStart {
    int clientFd = -1;
    int transportFd = -1;
    JobFiles files;
    TransportHandle transport;
    // For the session's lines and records.
    SessionFacts facts;
    // None when it is the clock's epoch.
    std::chrono::steady_clock::time_point answerDeadline;
};

class JobTransfer final : public RelayChannel {
public:
    // Owns both descriptors and is attached to the loop before it returns;
    // raises `ended` when the copy is over. A transport that has sent
    // nothing by the start's answerDeadline ends the job: it never answered
    // the client's request.
    JobTransfer(RelayLoop& loop, TransportReaper& reaper, const Utils::WakeEvent& ended, JobStart start);
    // Stops the job, waits until the loop has let it go and closes both
    // sockets; the transport and its files go to the reaper.
    ~JobTransfer();

    JobTransfer(const JobTransfer&) = delete;
    JobTransfer& operator=(const JobTransfer&) = delete;

    // Asks the job to end now: the loop hears of it, and the destructor
    // hands the transport to the reaper for SIGTERM at once. Quick and safe
    // to call again.
    void stop();

    uint32_t session() const { return facts.sessionId; }
    int transportPid() const { return facts.transportPid; }
    const std::string& transportSocket() const { return files.socketPath; }
    bool isRunning() const { return running.load(); }
    // One line for the administrator: session, client, transport, how long,
    // bytes each way so far.
    std::string describe() const;
    // What the session came to so far.
    SessionTotals totals() const;
    const SessionFacts& sessionFacts() const { return facts; }

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
    void armAnswerTimer(Clock::time_point deadline);
    void disarmAnswerTimer();
    void answerTimedOut();
    // The copy is over: its watches go, the end is logged.
    void finish(int64_t result);

    Utils::UniqueFd sock;
    Utils::UniqueFd unixfd;
    SessionFacts facts;
    std::atomic<bool> running{true};
    std::atomic<bool> stopRequested{false};
    Utils::WakeEvent wake;  // tells the loop that the job is stopped
    // Until the transport's first bytes: when it must have answered.
    Utils::UniqueFd answerTimer;
    JobFiles files;
    // The loop thread's alone: the socket and stop watches, the bytes each
    // side has not taken yet, and whether to look for an answer.
    std::array<RelayWatch, 4> watches;
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
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    // Written by the loop thread, read by SIGUSR1's report.
    std::atomic<uint64_t> bytesFromClient{0};
    std::atomic<uint64_t> bytesToClient{0};
    SessionEnd endedBy = SessionEnd::Proxy;
    RelayLoop& relay;
    TransportReaper& reaper;
    const Utils::WakeEvent& endedEvent;
};

}  // namespace Velk
