// The copy thread of a transfer job.  It sleeps in poll until a side has data,
// a side can take pending bytes, or the job is stopped, so an idle connection
// costs nothing and a byte after a quiet moment is forwarded at once.
#include "proxy/job_transfer.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "logger.h"
#include "proxy/answer_look.h"
#include "proxy/proxy.h"
#include "utils/process.h"

namespace Velk {

namespace {

constexpr size_t readChunk = size_t{256} * 1024;
constexpr auto transportStopGrace = std::chrono::seconds(5);
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
      wakefd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      socketPath(socketFile),
      samPath(samFile),
      transport(std::move(handle)),
      remoteAddr(std::move(remote)) {
    // The job alone uses these sockets; not blocking, they can be spliced.
    for (const int fd : {sock, unixfd}) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) {
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        }
    }
    thread = std::thread(&JobTransfer::copyLoop, this);
}

JobTransfer::~JobTransfer() {
    running.exchange(false);
    if (Utils::processRunning(transport.first)) {
        Syslog::debug("%s: kill transport, pid: %d", "JobTransferStopped", transport.first);
        kill(transport.first, SIGTERM);
    }
    const uint64_t one = 1;
    if (wakefd >= 0 && write(wakefd, &one, sizeof(one)) < 0) {
        Syslog::warning("%s: %s failed, error: %s, code: %d", "JobTransferStopped", "write", strerror(errno),
                        errno);
    }
    if (thread.joinable()) {
        thread.join();
    }
    close(sock);
    close(unixfd);
    if (wakefd >= 0) {
        close(wakefd);
    }
    awaitTransportEnd(transport);

    std::error_code ec;
    if (std::filesystem::exists(socketPath, ec)) {
        std::filesystem::remove(socketPath, ec);
    }
    if (std::filesystem::exists(samPath, ec)) {
        std::filesystem::remove(samPath, ec);
    }
}

void awaitTransportEnd(TransportHandle& transport) {
    if (!transport.second.valid()) {
        return;
    }
    if (transport.second.wait_for(transportStopGrace) == std::future_status::timeout) {
        Syslog::warning("%s: transport ignores SIGTERM, kill, pid: %d", "awaitTransportEnd", transport.first);
        kill(transport.first, SIGKILL);
    }
    transport.second.wait();
}

void JobTransfer::copyLoop() {
    // A splice into a socket whose peer has gone raises SIGPIPE in the
    // thread that made it (send has MSG_NOSIGNAL, splice has nothing like
    // it); blocked here, it stays with this thread and ends with it.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
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
int JobTransfer::pollTimeout(bool lookForAnswer) const {
    if (lookForAnswer) {
        return 0;
    }
    // Without a wake descriptor the stop flag is looked at ten times a second.
    return wakefd < 0 ? 100 : -1;
}

int64_t JobTransfer::copyUntilStopped() {
    PendingBytes toTransport;
    PendingBytes toClient;
    AnswerLook answerLook;
    while (running.load() && proxyRunning.load()) {
        pollfd fds[3] = {
            watch(sock, toTransport.empty(), !toClient.empty()),
            watch(unixfd, toClient.empty(), !toTransport.empty()),
            {wakefd, POLLIN, 0},
        };
        const bool lookForAnswer = answerLook.looking(Clock::now());
        const int events = poll(fds, 3, pollTimeout(lookForAnswer));
        if (events < 0) {
            if (errno == EINTR) {
                continue;
            }
            Syslog::error("%s: %s failed, error: %s, code: %d", "JobTransfer", "poll", strerror(errno),
                          errno);
            return -1;
        }
        if (events == 0 && lookForAnswer) {
            // The peer that is to answer may need this very CPU.
            sched_yield();
            continue;
        }
        if (fds[2].revents != 0) {
            break;
        }
        answerLook.trafficArrived();
        int64_t moved = 0;
        if (ready(fds[0], POLLIN) || ready(fds[1], POLLOUT)) {
            const int64_t r1 = jobTransferIter(sock, unixfd, toTransport, buf);
            if (r1 < 0) {
                noteEnd(r1, true);
                return r1;
            }
            bytesFromClient.fetch_add(static_cast<uint64_t>(r1), std::memory_order_relaxed);
            moved += r1;
        }
        if (ready(fds[1], POLLIN) || ready(fds[0], POLLOUT)) {
            const int64_t r2 = jobTransferIter(unixfd, sock, toClient, buf);
            if (r2 < 0) {
                noteEnd(r2, false);
                return r2;
            }
            bytesToClient.fetch_add(static_cast<uint64_t>(r2), std::memory_order_relaxed);
            moved += r2;
        }
        if (moved > 0 && moved <= smallMessage && toTransport.empty() && toClient.empty()) {
            answerLook.afterSmallMessage(Clock::now());
        }
    }
    return 0;
}

}  // namespace Velk
