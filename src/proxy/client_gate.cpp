// See client_gate.h. The first bytes are only peeked at: they stay in the
// socket and reach the transport like every later byte.
#include "proxy/client_gate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#include "logger.h"
#include "utils/sockets.h"

namespace Velk {

namespace {

using Clock = std::chrono::steady_clock;

// More clients waiting to speak than any real client needs: past it the one
// that has waited longest goes, so a flood of silent connections cannot
// exhaust the proxy's descriptors.
constexpr size_t maxWaitingClients = 16;

struct WaitingClient {
    Utils::UniqueFd fd;
    std::string address;
    uint16_t port = 0;
    Clock::time_point until;
};

GateResult admitted(WaitingClient& client) {
    return GateResult{GateEnd::Client, std::move(client.fd), client.address, client.port};
}

enum class FirstBytes { Arrived, NotYet, Gone };

void logDropped(const WaitingClient& client, const char* reason) {
    Syslog::info("%s: client dropped before its first bytes, remote addr: `%s', reason: %s",
                 "awaitSpeakingClient", client.address.c_str(), reason);
}

FirstBytes peekFirstBytes(int fd, short revents) {
    char byte = 0;
    const ssize_t peeked = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked > 0) {
        return FirstBytes::Arrived;
    }
    if (peeked < 0 && (errno == EAGAIN || errno == EINTR) && (revents & (POLLHUP | POLLERR)) == 0) {
        return FirstBytes::NotYet;
    }
    return FirstBytes::Gone;
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
    Gate(int listening, const GateSettings& limits) : listenFd(listening), settings(limits) {}

    // The client that spoke, or nullopt while none has.
    std::optional<GateResult> waitOnce(Clock::time_point deadline);

private:
    void acceptWaiting(Clock::time_point now);
    std::optional<GateResult> takeSpeaking(const std::vector<pollfd>& fds);

    int listenFd;
    const GateSettings& settings;
    std::vector<WaitingClient> waiting;
};

std::optional<GateResult> Gate::waitOnce(Clock::time_point deadline) {
    const auto now = Clock::now();
    dropSilent(waiting, now);
    std::vector<pollfd> fds{{listenFd, POLLIN, 0}};
    for (const auto& client : waiting) {
        fds.push_back({client.fd.get(), POLLIN, 0});
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
    if (auto spoken = takeSpeaking(fds)) {
        return spoken;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        acceptWaiting(Clock::now());
        if (settings.firstBytesTimeout.count() == 0 && !waiting.empty()) {
            return admitted(waiting.back());
        }
    }
    return std::nullopt;
}

void Gate::acceptWaiting(Clock::time_point now) {
    WaitingClient client;
    client.fd.reset(Socket::tcpAccept(listenFd, &client.address, &client.port));
    if (!client.fd.valid()) {
        return;
    }
    if (waiting.size() >= maxWaitingClients) {
        logDropped(waiting.front(), "too many waiting");
        waiting.erase(waiting.begin());
    }
    client.until = now + settings.firstBytesTimeout;
    waiting.push_back(std::move(client));
}

// fds[i + 1] belongs to waiting[i] (the wake descriptors follow); the ones
// that went away are dropped.
std::optional<GateResult> Gate::takeSpeaking(const std::vector<pollfd>& fds) {
    std::vector<WaitingClient> stillWaiting;
    std::optional<GateResult> spoken;
    for (size_t index = 0; index < waiting.size(); ++index) {
        const short revents = fds[index + 1].revents;
        const FirstBytes state =
            revents == 0 || spoken ? FirstBytes::NotYet : peekFirstBytes(waiting[index].fd.get(), revents);
        if (state == FirstBytes::Arrived) {
            spoken = admitted(waiting[index]);
        } else if (state == FirstBytes::Gone) {
            logDropped(waiting[index], "closed");
        } else {
            stillWaiting.push_back(std::move(waiting[index]));
        }
    }
    waiting = std::move(stillWaiting);
    return spoken;
}

}  // namespace

GateResult awaitSpeakingClient(int listenFd, const GateSettings& settings,
                               const std::function<std::optional<GateEnd>()>& stopRequested) {
    // A connection reset between poll and accept must not block the accept.
    fcntl(listenFd, F_SETFL, fcntl(listenFd, F_GETFL) | O_NONBLOCK);
    const auto deadline = Clock::now() + settings.listenTimeout;
    Gate gate(listenFd, settings);
    while (true) {
        if (const auto reason = stopRequested()) {
            return GateResult{*reason, {}, {}, 0};
        }
        if (Clock::now() > deadline) {
            return GateResult{GateEnd::TimedOut, {}, {}, 0};
        }
        if (auto result = gate.waitOnce(deadline)) {
            return std::move(*result);
        }
    }
}

}  // namespace Velk
