// A transfer job as its relay loop serves it.  The loop wakes it when a side
// has data, a side can take pending bytes, or the job is stopped, so an idle
// connection costs nothing and a byte after a quiet moment is forwarded at
// once.
#include "proxy/job_transfer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "logger.h"
#include "proxy/proxy.h"

namespace Velk {

namespace {

constexpr size_t readChunk = size_t{256} * 1024;
using Clock = std::chrono::steady_clock;

const char* resultText(int64_t result) {
    switch (static_cast<CopyEnd>(result)) {
        case CopyEnd::Exception:
            return "exception";
        case CopyEnd::Closed:
            return "recv end stream";
        case CopyEnd::ReceiveError:
            return "recv error";
        case CopyEnd::SendError:
            return "send error";
    }
    return "unknown";
}

uint32_t wanted(bool wantRead, bool wantWrite) {
    return (wantRead ? POLLIN : 0U) | (wantWrite ? POLLOUT : 0U);
}

constexpr uint32_t endOrError = POLLHUP | POLLERR;

void setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

}  // namespace

int64_t jobTransferIter(int from, int to, PendingBytes& pending, std::vector<uint8_t>& buf) {
    try {
        const int64_t left = pending.flush(to);
        if (left != 0) {
            return left < 0 ? left : 0;
        }
        if (const std::optional<int64_t> spliced = pending.spliceFrom(from, to)) {
            if (*spliced <= 0) {
                return *spliced;
            }
            pending.afterRead(*spliced);
            const int64_t unsent = pending.flush(to);
            return unsent < 0 ? unsent : *spliced;
        }
        buf.resize(readChunk);
        const ssize_t received = recv(from, buf.data(), buf.size(), MSG_DONTWAIT);
        if (received == 0) {
            return copyEnd(CopyEnd::Closed);
        }
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return 0;
            }
            Syslog::error("%s: %s failed, error: %s, code: %d", "jobTransferIter", "recv", strerror(errno),
                          errno);
            return copyEnd(CopyEnd::ReceiveError);
        }
        pending.afterRead(received);
        // Straight from the read buffer: only what `to` does not take now is
        // copied aside.
        const int64_t sent = sendWhatFits(to, buf.data(), static_cast<size_t>(received));
        if (sent < 0) {
            return sent;
        }
        pending.keep(buf.data() + sent, static_cast<size_t>(received - sent));
        return received;
    } catch (const std::exception&) {
        return copyEnd(CopyEnd::Exception);
    }
}

JobTransfer::JobTransfer(RelayLoop& loop, TransportReaper& transportReaper, const Utils::WakeEvent& ended,
                         JobStart start)
    : sock(start.clientFd),
      unixfd(start.transportFd),
      facts(std::move(start.facts)),
      files(std::move(start.files)),
      transport(std::move(start.transport)),
      relay(loop),
      reaper(transportReaper),
      endedEvent(ended) {
    // The job alone uses these sockets; not blocking, they can be spliced.
    setNonBlocking(sock.get());
    setNonBlocking(unixfd.get());
    armAnswerTimer(start.answerDeadline);
    watches = {RelayWatch{this, sock.get()}, RelayWatch{this, unixfd.get()}, RelayWatch{this, wake.fd()},
               RelayWatch{this, answerTimer.get()}};
    relay.attach(*this);
}

// A copy that ended by itself (a side closed or failed) leaves its
// transport the time to read what it was sent and the end; one stopped by
// the proxy or the manager stops its transport now.
JobTransfer::~JobTransfer() {
    const bool endedByItself = !running.load() && !stopRequested.load();
    stop();
    relay.detach(*this);
    sock.reset();
    unixfd.reset();
    reaper.retire(std::move(transport), files, endedByItself);
}

void JobTransfer::stop() {
    running.exchange(false);
    if (!stopRequested.exchange(true)) {
        wake.raise();
    }
}

void JobTransfer::attached() {
    relay.watch(watches[2], POLLIN);
    if (answerTimer.valid()) {
        relay.watch(watches[3], POLLIN);
    }
    rewatch();
}

void JobTransfer::armAnswerTimer(Clock::time_point deadline) {
    if (deadline == Clock::time_point{}) {
        return;
    }
    // The steady clock is the monotonic one.
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    itimerspec at{};
    at.it_value.tv_sec = seconds.count();
    at.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count();
    answerTimer.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (answerTimer.valid() && timerfd_settime(answerTimer.get(), TFD_TIMER_ABSTIME, &at, nullptr) != 0) {
        answerTimer.reset();
    }
}

void JobTransfer::disarmAnswerTimer() {
    relay.watch(watches[3], 0);
    answerTimer.reset();
    watches[3].fd = -1;
}

// A transport that never answers the client's request would hold the
// session, and the client's wait, for as long as both stay connected.
void JobTransfer::answerTimedOut() {
    endedBy = SessionEnd::NoAnswer;
    finish(0);
}

void JobTransfer::detached() {
    if (!finished) {
        finish(0);
    }
}

bool JobTransfer::looking(Clock::time_point now) {
    return answerLooks.looking(now);
}

void JobTransfer::rewatch() {
    relay.watch(watches[0], wanted(toTransport.empty(), !toClient.empty()));
    relay.watch(watches[1], wanted(toClient.empty(), !toTransport.empty()));
}

void JobTransfer::finish(int64_t result) {
    finished = true;
    for (RelayWatch& watch : watches) {
        relay.watch(watch, 0);
    }
    Syslog::debug("%s: job stopped, session id: %u, result: %s", "JobTransfer", facts.sessionId,
                  resultText(result));
    logSessionEnded(facts, totals());
    running.exchange(false);
    endedEvent.raise();
}

std::string JobTransfer::describe() const {
    return describeSession(facts, totals());
}

SessionTotals JobTransfer::totals() const {
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
            bytesFromClient.load(std::memory_order_relaxed), bytesToClient.load(std::memory_order_relaxed),
            endedBy};
}

// A step from the client that fails to read, or one to the client that
// fails to send, was ended by the client; the other way round by the transport.
void JobTransfer::noteEnd(int64_t result, bool fromClient) {
    const bool readFailed = result == copyEnd(CopyEnd::Closed) || result == copyEnd(CopyEnd::ReceiveError);
    if (result == copyEnd(CopyEnd::Exception)) {
        endedBy = SessionEnd::Proxy;
    } else {
        endedBy = readFailed == fromClient ? SessionEnd::Client : SessionEnd::Transport;
    }
}

// After a small message that left nothing pending the loop looks for the
// answer of the side it went to before it sleeps (AnswerLook); bulk traffic
// and a receiver that is behind never make it look.
void JobTransfer::ready(RelayWatch& watch, uint32_t events, std::vector<uint8_t>& buffer) {
    if (finished) {
        return;
    }
    if (&watch == &watches[2] || !running.load()) {
        finish(0);
        return;
    }
    if (&watch == &watches[3]) {
        answerTimedOut();
        return;
    }
    answerLooks.trafficArrived();
    const int64_t moved = moveReady(&watch == &watches[0], events, buffer);
    if (moved < 0) {
        finish(moved);
        return;
    }
    rewatch();
    if (isMessage(moved) && toTransport.empty() && toClient.empty()) {
        if (answerLooks.afterSmallMessage(lastMovedFromClient, Clock::now())) {
            relay.keepLooking(*this);
        }
    }
}

// A socket that can be read feeds its direction; one that can be written
// takes the other direction's pending bytes; an end or an error is for both.
int64_t JobTransfer::moveReady(bool clientSide, uint32_t events, std::vector<uint8_t>& buffer) {
    const bool readable = (events & (POLLIN | endOrError)) != 0;
    const bool writable = (events & (POLLOUT | endOrError)) != 0;
    int64_t moved = 0;
    for (const bool fromClient : {true, false}) {
        if (!(fromClient == clientSide ? readable : writable)) {
            continue;
        }
        const int64_t result = copyStep(fromClient, buffer);
        if (result < 0) {
            return result;
        }
        moved += result;
    }
    return moved;
}

// One jobTransferIter in one direction, counted for the report.
int64_t JobTransfer::copyStep(bool fromClient, std::vector<uint8_t>& buffer) {
    const int64_t result = fromClient ? jobTransferIter(sock.get(), unixfd.get(), toTransport, buffer)
                                      : jobTransferIter(unixfd.get(), sock.get(), toClient, buffer);
    if (result < 0) {
        noteEnd(result, fromClient);
        return result;
    }
    (fromClient ? bytesFromClient : bytesToClient)
        .fetch_add(static_cast<uint64_t>(result), std::memory_order_relaxed);
    if (result > 0) {
        lastMovedFromClient = fromClient;
        if (!fromClient && answerTimer.valid()) {
            disarmAnswerTimer();
        }
    }
    return result;
}

}  // namespace Velk
