// ProxyConnection's start of the RDP transport of one client: the SAM file
// from the session's description, then the command of transport_command.h
// started in the background.
#include <filesystem>

#include "proxy/proxy_connection.h"
#include "proxy/transport_command.h"
#include "utils/process.h"

namespace Velk {

namespace fs = std::filesystem;

TransportHandle ProxyConnection::requestRdpTransport(const std::string& socketPath,
                                                     const std::string& samPath, const JsonConfig& session,
                                                     const uint32_t& sessionId, uint64_t index) {
    info("%s: session id: %u", "requestRdpTransport", sessionId);
    const auto cfg = currentConfig();

    const std::string program = chooseTransportProgram(*cfg);
    const bool samWritten = writeSamFile(samPath, session);
    std::list<std::string> args = prepareX11RdpArgs(socketPath, samWritten ? samPath : std::string(), session,
                                                    isOwnTransportBuild(program));
    std::list<std::string> envs = transportEnvironment(*cfg, session);
    debug("%s: display: %d, session id: %u, cmd: %s, args: [ %s ]", "requestRdpTransport",
          session.getInteger("display", 0), sessionId, program.c_str(), joinArguments(args).c_str());

    const std::string logFile = (velkDirectory() / transportLogName(session, index)).string();
    // A link left at the log's path is removed, not written through.
    std::error_code ignored;
    if (fs::is_symlink(logFile, ignored)) {
        fs::remove(logFile, ignored);
    }
    return Utils::runChildProcessHeld(program, args, envs, nullptr, logFile.c_str());
}

std::list<std::string> ProxyConnection::prepareX11RdpArgs(const std::string& socketPath,
                                                          const std::string& samPath,
                                                          const JsonConfig& session, bool ownBuild) const {
    return transportArguments(*currentConfig(), socketPath, samPath, session, ownBuild);
}

}  // namespace Velk
