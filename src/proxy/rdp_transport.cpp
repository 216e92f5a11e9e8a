// See rdp_transport.h.
#include "proxy/rdp_transport.h"

#include <signal.h>

#include "logger.h"
#include "proxy/private_directory.h"

namespace Velk {

namespace {

constexpr auto transportStopGrace = std::chrono::seconds(5);

}  // namespace

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

bool writeSamFile(const std::string& samPath, const JsonConfig& session) {
    if (!session.getBoolean("sec:nla", false)) {
        return false;
    }
    const std::string ntlm = session.getString("ntlm", "");
    return !ntlm.empty() && writePrivateFile(samPath, ntlm + "\n");
}

RdpTransport::~RdpTransport() {
    if (handle.second.valid()) {
        kill(handle.first, SIGTERM);
        awaitTransportEnd(handle);
    }
}

TransportConnection RdpTransport::connect(SocketDirectoryWatch& directory, const std::string& socketPath,
                                          const std::vector<int>& wakeFds,
                                          const std::function<bool()>& stopRequested,
                                          std::chrono::milliseconds timeout) const {
    return connectTransportSocket(directory, socketPath, handle.first, wakeFds, stopRequested, timeout);
}

}  // namespace Velk
