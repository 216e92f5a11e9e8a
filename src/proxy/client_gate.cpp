// See client_gate.h. The first bytes are only peeked at: they stay in the
// socket and reach the transport like every later byte. A waiting client's
// socket wakes the gate only once a whole request prefix has arrived (its
// receive low-water mark), or when it closes.
#include "proxy/client_gate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#include "logger.h"
#include "proxy/log_budget.h"
#include "proxy/rdp_request.h"
#include "utils/sockets.h"

namespace Velk {

namespace {

using Clock = std::chrono::steady_clock;

// More clients waiting to speak than any real client needs: past it the one
// that has waited longest goes, so a flood of silent connections cannot
// exhaust the proxy's descriptors.
constexpr size_t maxWaitingClients = 16;
// Taken from a backlog at one wake-up before the clients are looked at.
constexpr size_t maxAcceptsPerWake = 64;

struct WaitingClient {
    Utils::UniqueFd fd;
    std::string address;
    uint16_t port = 0;
    Clock::time_point until;
};

// One for the process: a flood of probes goes on across allowances. The
// gate runs on the listen job's thread, and one job runs at a time.
LogBudget droppedClients;

void sayHeldBack(Clock::time_point now, bool force) {
    if (const uint64_t more = droppedClients.heldBack(now, force)) {
        Syslog::info("%s: %llu more clients dropped before their first bytes", "awaitRdpClient",
                     static_cast<unsigned long long>(more));
    }
}

void logDropped(const WaitingClient& client, const char* reason) {
    const auto now = Clock::now();
    sayHeldBack(now, false);
    if (droppedClients.allows(now)) {
        Syslog::info("%s: client dropped before its first bytes, remote addr: `%s', reason: %s",
                     "awaitRdpClient", client.address.c_str(), reason);
    }
}

void setLowWaterMark(int fd, int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof(bytes));
}

GateResult admitted(WaitingClient& client) {
    // The relay reads whatever has arrived.
    setLowWaterMark(client.fd.get(), 1);
    return GateResult{GateEnd::Client, std::move(client.fd), client.address, client.port, Clock::now()};
}

enum class FirstBytes { Request, NotYet, NotRdp, Gone };

FirstBytes peekFirstBytes(int fd, short revents) {
    uint8_t bytes[connectionRequestPrefix] = {};
    const ssize_t peeked = recv(fd, bytes, sizeof(bytes), MSG_PEEK | MSG_DONTWAIT);
    if (peeked == static_cast<ssize_t>(sizeof(bytes))) {
        return isConnectionRequest(bytes, sizeof(bytes)) ? FirstBytes::Request : FirstBytes::NotRdp;
    }
    const bool closed = (revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0;
    if (peeked > 0 && !closed) {
        return FirstBytes::NotYet;
    }
    if (peeked < 0 && (errno == EAGAIN || errno == EINTR) && !closed) {
        return FirstBytes::NotYet;
    }
    return peeked > 0 ? FirstBytes::NotRdp : FirstBytes::Gone;
}

void dropSilent(std::vector<WaitingClient>& waiting, Clock::time_point now) {
    const auto silent = [now](const WaitingClient& client) { return client.until <= now; };
    for (const auto& client : waiting) {
        if (silent(client)) {
            logDropped(client, "silent");
        }
    }
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(), silent), waiting.end());
}

int pollTimeout(const std::vector<WaitingClient>& waiting, Clock::time_point now,
                Clock::time_point deadline) {
    auto until = deadline;
    for (const auto& client : waiting) {
        until = std::min(until, client.until);
    }
    // Rounded up, so that the wake-up comes after the moment, not just before.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0) + 1);
}

class Gate {
public:
    Gate(const std::vector<int>& listening, const GateSettings& limits)
        : listenFds(listening), settings(limits) {}
    ~Gate() { sayHeldBack(Clock::now(), true); }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // The client that sent a request, or nullopt while none has.
    std::optional<GateResult> waitOnce(Clock::time_point deadline);

private:
    void acceptWaiting(int listenFd, Clock::time_point now);
    std::optional<GateResult> takeRequesting(const std::vector<pollfd>& fds);

    const std::vector<int>& listenFds;
    const GateSettings& settings;
    std::vector<WaitingClient> waiting;
};

std::optional<GateResult> Gate::waitOnce(Clock::time_point deadline) {
    const auto now = Clock::now();
    dropSilent(waiting, now);
    std::vector<pollfd> fds;
    for (const int listenFd : listenFds) {
        fds.push_back({listenFd, POLLIN, 0});
    }
    for (const auto& client : waiting) {
        fds.push_back({client.fd.get(), POLLIN | POLLRDHUP, 0});
    }
    for (const int wake : settings.wakeFds) {
        fds.push_back({wake, POLLIN, 0});
    }
    const int ready = poll(fds.data(), fds.size(), pollTimeout(waiting, now, deadline));
    if (ready < 0 && errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (ready <= 0) {
        return std::nullopt;
    }
    if (auto requesting = takeRequesting(fds)) {
        return requesting;
    }
    for (size_t index = 0; index < listenFds.size(); ++index) {
        if ((fds[index].revents & POLLIN) != 0) {
            acceptWaiting(listenFds[index], Clock::now());
        }
    }
    return std::nullopt;
}

// Everybody waiting in the backlog: a flood of probes must not fill it and
// have the real client's connection dropped.
void Gate::acceptWaiting(int listenFd, Clock::time_point now) {
    for (size_t taken = 0; taken < maxAcceptsPerWake; ++taken) {
        WaitingClient client;
        client.fd.reset(Socket::tcpAccept(listenFd, &client.address, &client.port));
        if (!client.fd.valid()) {
            return;
        }
        setLowWaterMark(client.fd.get(), static_cast<int>(connectionRequestPrefix));
        if (waiting.size() >= maxWaitingClients) {
            logDropped(waiting.front(), "too many waiting");
            waiting.erase(waiting.begin());
        }
        client.until = now + settings.firstBytesTimeout;
        waiting.push_back(std::move(client));
    }
}

// The waiting clients' entries follow the listeners'; the ones that went
// away or are no RDP client are dropped.
std::optional<GateResult> Gate::takeRequesting(const std::vector<pollfd>& fds) {
    std::vector<WaitingClient> stillWaiting;
    std::optional<GateResult> requesting;
    for (size_t index = 0; index < waiting.size(); ++index) {
        const short revents = fds[listenFds.size() + index].revents;
        const FirstBytes state = revents == 0 || requesting
                                     ? FirstBytes::NotYet
                                     : peekFirstBytes(waiting[index].fd.get(), revents);
        if (state == FirstBytes::Request) {
            requesting = admitted(waiting[index]);
        } else if (state == FirstBytes::NotRdp) {
            logDropped(waiting[index], "not an RDP connection request");
        } else if (state == FirstBytes::Gone) {
            logDropped(waiting[index], "closed");
        } else {
            stillWaiting.push_back(std::move(waiting[index]));
        }
    }
    waiting = std::move(stillWaiting);
    return requesting;
}

}  // namespace

GateResult awaitRdpClient(const std::vector<int>& listenFds, const GateSettings& settings,
                          const std::function<std::optional<GateEnd>()>& stopRequested) {
    // A connection reset between poll and accept must not block the accept.
    for (const int listenFd : listenFds) {
        fcntl(listenFd, F_SETFL, fcntl(listenFd, F_GETFL) | O_NONBLOCK);
    }
    const auto deadline = Clock::now() + settings.listenTimeout;
    Gate gate(listenFds, settings);
    while (true) {
        if (const auto reason = stopRequested()) {
            return GateResult{*reason, {}, {}, 0, {}};
        }
        if (Clock::now() > deadline) {
            return GateResult{GateEnd::TimedOut, {}, {}, 0, {}};
        }
        if (auto result = gate.waitOnce(deadline)) {
            return std::move(*result);
        }
    }
}

}  // namespace Velk
