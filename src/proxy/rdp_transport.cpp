// See rdp_transport.h.
#include "proxy/rdp_transport.h"

#include "logger.h"
#include "proxy/private_directory.h"

namespace Velk {

bool writeSamFile(const std::string& samPath, const JsonConfig& session) {
    if (!session.getBoolean("sec:nla", false)) {
        return false;
    }
    const std::string ntlm = session.getString("ntlm", "");
    return !ntlm.empty() && writePrivateFile(samPath, ntlm + "\n");
}

RdpTransport::~RdpTransport() {
    // Handed over, the job owns both; else the files are this connection's
    // to remove, after the transport has gone.
    if (handle.held()) {
        retireTo.retire(std::move(handle), jobFiles);
    }
}

TransportConnection RdpTransport::connect(SocketDirectoryWatch& directory, const std::vector<int>& wakeFds,
                                          const std::function<bool()>& stopRequested,
                                          std::chrono::milliseconds timeout) const {
    return connectTransportSocket(directory, jobFiles.socketPath, handle.pidfd(), wakeFds, stopRequested,
                                  timeout);
}

}  // namespace Velk
