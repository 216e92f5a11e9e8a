// The RDP transport of one client once it is started: its process, held by
// pidfd until a transfer job takes it; the wait for its unix socket; its SAM
// file, written as a step of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "proxy/socket_wait.h"
#include "proxy/transport_reaper.h"
#include "utils/held_process.h"

namespace Velk {

// The transport's process.
using TransportHandle = Utils::HeldProcess;

// The session's NTLM hash for the transport, when the session asks for NLA
// and has one: written to samPath for the owner alone. True when written.
bool writeSamFile(const std::string& samPath, const JsonConfig& session);

class RdpTransport {
public:
    RdpTransport(TransportHandle started, JobFiles files, TransportReaper& reaper)
        : handle(std::move(started)), jobFiles(std::move(files)), retireTo(reaper) {}
    // A transport nobody took is stopped and reaped, its files removed.
    ~RdpTransport();
    RdpTransport(const RdpTransport&) = delete;
    RdpTransport& operator=(const RdpTransport&) = delete;

    pid_t pid() const { return handle.pid(); }
    // Waits for the transport's socket and connects to it; see
    // connectTransportSocket for the ends.
    TransportConnection connect(SocketDirectoryWatch& directory, const std::vector<int>& wakeFds,
                                const std::function<bool()>& stopRequested,
                                std::chrono::milliseconds timeout) const;
    // The transfer job owns the process from now on.
    TransportHandle handOver() { return std::move(handle); }

private:
    TransportHandle handle;
    JobFiles jobFiles;
    TransportReaper& retireTo;
};

}  // namespace Velk
