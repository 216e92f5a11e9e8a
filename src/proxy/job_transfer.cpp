// The copy thread of a transfer job.  It sleeps in poll until a side has data,
// a side can take pending bytes, or the job is stopped, so an idle connection
// costs nothing and a byte after a quiet moment is forwarded at once.
#include "proxy/job_transfer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "logger.h"
#include "proxy/proxy.h"
#include "utils/process.h"

namespace Velk {

namespace {

constexpr size_t readChunk = size_t{256} * 1024;
constexpr int64_t smallMessage = int64_t{16} * 1024;
using Clock = std::chrono::steady_clock;

const char* resultText(int64_t result) {
    switch (result) {
        case -1:
            return "exception";
        case -2:
            return "recv end stream";
        case -3:
            return "recv error";
        case -4:
            return "send error";
        default:
            return "unknown";
    }
}

// A side with nothing to do is left out of the poll: a hung-up peer would
// otherwise wake it at once, again and again, while its bytes wait for the
// other side.
pollfd watch(int fd, bool wantRead, bool wantWrite) {
    const auto events = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    return {events != 0 ? fd : -1, events, 0};
}

bool ready(const pollfd& entry, short event) {
    return (entry.revents & (event | POLLHUP | POLLERR)) != 0;
}

void setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

// A splice into a socket whose peer has gone raises SIGPIPE in the thread
// that made it (send has MSG_NOSIGNAL, splice has nothing like it); blocked
// here, it stays with this thread and ends with it.
void blockPipeSignal() {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
}

void removeIfThere(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        std::filesystem::remove(path, ec);
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
            const int64_t unsent = pending.flush(to);
            return unsent < 0 ? unsent : *spliced;
        }
        buf.resize(readChunk);
        const ssize_t received = recv(from, buf.data(), buf.size(), MSG_DONTWAIT);
        if (received == 0) {
            return -2;
        }
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return 0;
            }
            Syslog::error("%s: %s failed, error: %s, code: %d", "jobTransferIter", "recv", strerror(errno),
                          errno);
            return -3;
        }
        // Straight from the read buffer: only what `to` does not take now is
        // copied aside.
        const int64_t sent = sendWhatFits(to, buf.data(), static_cast<size_t>(received));
        if (sent < 0) {
            return sent;
        }
        pending.keep(buf.data() + sent, static_cast<size_t>(received - sent));
        return received;
    } catch (const std::exception&) {
        return -1;
    }
}

JobTransfer::JobTransfer(int clientFd, int transportFd, const std::string& socketFile,
                         const std::string& samFile, TransportHandle handle, uint32_t session,
                         std::string remote)
    : sock(clientFd),
      unixfd(transportFd),
      sessionId(session),
      socketPath(socketFile),
      samPath(samFile),
      transport(std::move(handle)),
      remoteAddr(std::move(remote)) {
    // The job alone uses these sockets; not blocking, they can be spliced.
    setNonBlocking(sock.get());
    setNonBlocking(unixfd.get());
    thread = std::thread(&JobTransfer::copyLoop, this);
}

JobTransfer::~JobTransfer() {
    stop();
    if (thread.joinable()) {
        thread.join();
    }
    sock.reset();
    unixfd.reset();
    awaitTransportEnd(transport);
    removeIfThere(socketPath);
    removeIfThere(samPath);
}

void JobTransfer::stop() {
    running.exchange(false);
    if (stopRequested.exchange(true)) {
        return;
    }
    if (Utils::processRunning(transport.first)) {
        Syslog::debug("%s: kill transport, pid: %d", "JobTransferStopped", transport.first);
        kill(transport.first, SIGTERM);
    }
    wake.raise();
}

void JobTransfer::copyLoop() {
    blockPipeSignal();
    const int64_t result = copyUntilStopped();
    Syslog::debug("%s: job stopped, session id: %u, result: %s", "JobTransfer", sessionId,
                  resultText(result));
    Syslog::notice("%s: session ended, %s, ended by: %s", "JobTransfer", describe().c_str(), endedBy);
    running.exchange(false);
}

std::string JobTransfer::describe() const {
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char line[256] = {};
    snprintf(
        line, sizeof(line),
        "session id: %u, remote addr: `%s', transport pid: %d, duration: %.1f s, bytes from client: %llu, "
        "bytes to client: %llu",
        sessionId, remoteAddr.c_str(), transport.first, seconds,
        static_cast<unsigned long long>(bytesFromClient.load(std::memory_order_relaxed)),
        static_cast<unsigned long long>(bytesToClient.load(std::memory_order_relaxed)));
    return line;
}

// A step from the client that fails to read, or one to the client that
// fails to send, was ended by the client; the other way round by the transport.
void JobTransfer::noteEnd(int64_t result, bool fromClient) {
    const bool readFailed = result == -2 || result == -3;
    if (result == -1) {
        endedBy = "proxy";
    } else {
        endedBy = readFailed == fromClient ? "client" : "transport";
    }
}

// While it looks for an answer (AnswerLook) the thread polls without waiting.
// Bulk traffic and a receiver that is behind never make it look.
int64_t JobTransfer::copyUntilStopped() {
    while (running.load() && proxyRunning.load()) {
        pollfd fds[3] = {
            watch(sock.get(), toTransport.empty(), !toClient.empty()),
            watch(unixfd.get(), toClient.empty(), !toTransport.empty()),
            {wake.fd(), POLLIN, 0},
        };
        const bool lookForAnswer = answerLook.looking(Clock::now());
        const int events = poll(fds, 3, lookForAnswer ? 0 : -1);
        if (events < 0 && errno == EINTR) {
            continue;
        }
        if (events < 0) {
            Syslog::error("%s: %s failed, error: %s, code: %d", "copyUntilStopped", "poll", strerror(errno),
                          errno);
            return -1;
        }
        if (events == 0) {
            // The peer that is to answer may need this very CPU.
            sched_yield();
            continue;
        }
        if (fds[2].revents != 0) {
            break;
        }
        const int64_t moved = moveReady(fds);
        if (moved < 0) {
            return moved;
        }
        if (moved > 0 && moved <= smallMessage && toTransport.empty() && toClient.empty()) {
            answerLook.afterSmallMessage(Clock::now());
        }
    }
    return 0;
}

int64_t JobTransfer::moveReady(const pollfd (&fds)[3]) {
    answerLook.trafficArrived();
    int64_t moved = 0;
    for (const bool fromClient : {true, false}) {
        const pollfd& source = fds[fromClient ? 0 : 1];
        const pollfd& sink = fds[fromClient ? 1 : 0];
        if (!ready(source, POLLIN) && !ready(sink, POLLOUT)) {
            continue;
        }
        const int64_t result = copyStep(fromClient);
        if (result < 0) {
            return result;
        }
        moved += result;
    }
    return moved;
}

// One jobTransferIter in one direction, counted for the report.
int64_t JobTransfer::copyStep(bool fromClient) {
    const int64_t result = fromClient ? jobTransferIter(sock.get(), unixfd.get(), toTransport, buf)
                                      : jobTransferIter(unixfd.get(), sock.get(), toClient, buf);
    if (result < 0) {
        noteEnd(result, fromClient);
        return result;
    }
    (fromClient ? bytesFromClient : bytesToClient)
        .fetch_add(static_cast<uint64_t>(result), std::memory_order_relaxed);
    return result;
}

}  // namespace Velk
