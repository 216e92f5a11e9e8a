// Who may take an allowed session: the first client that speaks. An RDP
// client sends its connection request the moment it connects, so a probe
// that connects and closes, or connects and says nothing, is dropped and the
// listener stays open for the real client until the listen time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "utils/unique_fd.h"

namespace Velk {

enum class GateEnd { Client, Stopped, Disconnected, TimedOut };

struct GateSettings {
    std::chrono::seconds listenTimeout{10};
    // Zero takes the first client that connects, spoken or not.
    std::chrono::milliseconds firstBytesTimeout{0};
    // Descriptors that become readable when stopRequested may have changed
    // its answer (WakeEvent); waited on beside the sockets.
    std::vector<int> wakeFds;
};

struct GateResult {
    GateEnd end = GateEnd::TimedOut;
    Utils::UniqueFd client;  // with end Client: accepted, its first bytes still unread
    std::string address;
    uint16_t port = 0;
};

// Waits on the listening socket (made non-blocking) until a client has sent
// its first bytes, stopRequested names a reason to give up, or the listen
// time-out passes. Clients that connected and have not spoken yet wait side
// by side, each for at most firstBytesTimeout. Throws std::system_error when
// poll fails.
GateResult awaitSpeakingClient(int listenFd, const GateSettings& settings,
                               const std::function<std::optional<GateEnd>()>& stopRequested);

}  // namespace Velk
