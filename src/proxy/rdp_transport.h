// The RDP transport of one client once it is started: its pid and the
// future of its wait status, held until a transfer job takes them; the wait
// for its unix socket; its SAM file, written as a step of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "proxy/socket_wait.h"

namespace Velk {

// The transport's pid and the future of its wait status.
using TransportHandle = std::pair<int, std::future<int>>;

// Waits for a transport that was sent SIGTERM; one that ignores it is killed
// after 5 seconds, so no caller waits forever.
void awaitTransportEnd(TransportHandle& transport);

// The session's NTLM hash for the transport, when the session asks for NLA
// and has one: written to samPath for the owner alone. True when written.
bool writeSamFile(const std::string& samPath, const JsonConfig& session);

class RdpTransport {
public:
    explicit RdpTransport(TransportHandle started) : handle(std::move(started)) {}
    // A transport nobody took is stopped: SIGTERM, then its end is awaited.
    ~RdpTransport();
    RdpTransport(const RdpTransport&) = delete;
    RdpTransport& operator=(const RdpTransport&) = delete;

    pid_t pid() const { return handle.first; }
    // Waits for the transport's socket and connects to it; see
    // connectTransportSocket for the ends.
    TransportConnection connect(SocketDirectoryWatch& directory, const std::string& socketPath,
                                const std::vector<int>& wakeFds, const std::function<bool()>& stopRequested,
                                std::chrono::milliseconds timeout) const;
    // The transfer job owns the process from now on.
    TransportHandle handOver() { return std::move(handle); }

private:
    TransportHandle handle;
};

}  // namespace Velk
