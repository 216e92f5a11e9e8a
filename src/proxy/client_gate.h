// Who may take an allowed session: the first client whose first bytes are an
// RDP connection request. A real client sends one the moment it connects,
// so a probe that connects and closes, stays silent or says anything else
// is dropped, and the listeners stay open for the real client until the
// listen time-out.
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
    // How long an accepted client may take to send its connection request.
    std::chrono::milliseconds firstBytesTimeout{5000};
    // Descriptors that become readable when stopRequested may have changed
    // its answer (WakeEvent); waited on beside the sockets.
    std::vector<int> wakeFds;
};

struct GateResult {
    GateEnd end = GateEnd::TimedOut;
    Utils::UniqueFd client;  // with end Client: accepted, its connection request still unread
    std::string address;
    uint16_t port = 0;
    std::chrono::steady_clock::time_point spokeAt{};
};

// Waits on the listening sockets (made non-blocking) until a client has sent
// a connection request, stopRequested names a reason to give up, or the
// listen time-out passes. Clients that connected and have not spoken yet
// wait side by side, each for at most firstBytesTimeout. Throws
// std::system_error when poll fails.
GateResult awaitRdpClient(const std::vector<int>& listenFds, const GateSettings& settings,
                          const std::function<std::optional<GateEnd>()>& stopRequested);

}  // namespace Velk
