// ProxyConnection's start of the RDP transport of one client: the session's
// description from the manager, the check that it is the proxy user's, the
// SAM file, then the command of transport_command.h started in the background.
#include <unistd.h>

#include <filesystem>

#include "proxy/proxy_connection.h"
#include "proxy/transport_command.h"
#include "utils/process.h"
#include "utils/users.h"

namespace Velk {

namespace fs = std::filesystem;

TransportHandle ProxyConnection::requestRdpTransport(const std::string& socketPath,
                                                     const std::string& samPath, const uint32_t& sessionId,
                                                     uint64_t index) {
    info("%s: session id: %u", "requestRdpTransport", sessionId);
    const JsonConfigString session(velkSessionInfoJson(sessionId));
    checkSessionOwner(session, sessionId);
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
    return Utils::runChildProcessBack(program, args, envs, nullptr, logFile.c_str());
}

// A proxy of an ordinary user serves that user's sessions only: a description
// naming somebody else would have the transport show another user's display
// and the SAM file hold another user's hash. Root serves whom it is told.
void ProxyConnection::checkSessionOwner(const JsonConfig& session, const uint32_t& sessionId) const {
    const uid_t uid = getuid();
    if (uid == 0) {
        return;
    }
    const auto account = Utils::getUserInfoById(uid);
    const bool otherUid = session.hasValue("uid") && static_cast<uid_t>(session.getInteger("uid", 0)) != uid;
    const bool otherName =
        session.hasValue("username") && (!account || session.getString("username", "") != account->user);
    if (!otherUid && !otherName) {
        return;
    }
    error("%s: session of another user refused, session id: %u, uid: %u, username: `%s'", "checkSessionOwner",
          sessionId, static_cast<unsigned>(uid), account ? account->user.c_str() : "");
    throw velk_error("requestRdpTransport");
}

std::list<std::string> ProxyConnection::prepareX11RdpArgs(const std::string& socketPath,
                                                          const std::string& samPath,
                                                          const JsonConfig& session, bool ownBuild) const {
    return transportArguments(*currentConfig(), socketPath, samPath, session, ownBuild);
}

}  // namespace Velk
