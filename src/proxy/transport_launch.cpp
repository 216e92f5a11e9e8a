// Starting the RDP transport of one client: the session's description from
// the manager, the program, its arguments, environment and log file.
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "proxy/private_directory.h"
#include "proxy/proxy_connection.h"
#include "utils/process.h"
#include "utils/strings.h"
#include "utils/users.h"

namespace Velk {

namespace fs = std::filesystem;

namespace {

constexpr const char* ownBuildPrefix = "/usr/libexec/velk/";
constexpr const char* defaultTransport = "/usr/libexec/velk/freerdp-shadow-cli";
constexpr const char* fallbackTransports[] = {
    "/usr/libexec/velk/freerdp-shadow-cli",
    "/usr/bin/freerdp-shadow-cli",
    "/usr/local/bin/freerdp-shadow-cli",
};

bool pathExists(const std::string& path) {
    const auto type = fs::status(path).type();
    return type != fs::file_type::not_found && type != fs::file_type::none;
}

std::string chooseTransport(const JsonConfig& cfg) {
    const std::string configured = cfg.getString("x11rdp:path", defaultTransport);
    if (pathExists(configured)) {
        return configured;
    }
    for (const char* candidate : fallbackTransports) {
        if (pathExists(candidate)) {
            Syslog::warning("%s: rdp transport changed to: `%s'", "requestRdpTransport", candidate);
            return candidate;
        }
    }
    Syslog::error("%s: rdp transport not found, check config option: `%s'", "requestRdpTransport",
                  "x11rdp:path");
    throw velk_error("requestRdpTransport");
}

std::list<std::string> transportEnvironment(const JsonConfig& cfg, const JsonConfig& session) {
    const std::string realm = cfg.getString("kerberos:realm", "");
    std::list<std::string> envs = {
        Utils::joinString("DISPLAY=:", session.getInteger("display", 0)),
        "XAUTHORITY=" + session.getString("xauthfile", ""),
        "FREERDP_STRONG_SESSION_CHECK=1",
        "SESSION_USER=" + session.getString("username", ""),
    };
    if (cfg.getBoolean("check:domain", false) && !realm.empty()) {
        envs.push_back("SESSION_DOMAIN=" + realm);
    }
    if (cfg.getBoolean("transport:shm", false)) {
        envs.emplace_back("FREERDP_SHM_ENABLED=1");
        envs.emplace_back("FREERDP_SHM_ANY=1");
    }
    if (cfg.hasValue("transport:fps")) {
        envs.push_back(Utils::joinString("FREERDP_FRAME_RATE=", cfg.getInteger("transport:fps", 0)));
    }
    return envs;
}

std::string joinArguments(const std::list<std::string>& args) {
    std::string joined;
    for (const auto& arg : args) {
        joined.append(joined.empty() ? "" : ", ").append(arg);
    }
    return joined;
}

const char* transportLogLevel(const JsonConfig& cfg) {
    if (cfg.getBoolean("transport:debug", false)) {
        return "DEBUG";
    }
    const int level = Syslog::debugLevel();
    return level == static_cast<int>(DebugLevel::Debug) || level == static_cast<int>(DebugLevel::Info)
               ? "INFO"
               : "ERROR";
}

}  // namespace

TransportHandle ProxyConnection::requestRdpTransport(const std::string& socketPath,
                                                     const std::string& samPath, const uint32_t& sessionId,
                                                     uint64_t index) {
    info("%s: session id: %u", "requestRdpTransport", sessionId);
    const JsonConfigString session(velkSessionInfoJson(sessionId));
    checkSessionOwner(session, sessionId);
    const auto cfg = currentConfig();

    const std::string program = chooseTransport(*cfg);
    const bool ownBuild = program.rfind(ownBuildPrefix, 0) == 0;
    std::list<std::string> args = prepareX11RdpArgs(socketPath, samPath, session, ownBuild);
    std::list<std::string> envs = transportEnvironment(*cfg, session);

    const int display = session.getInteger("display", 0);
    debug("%s: display: %d, session id: %u, cmd: %s, args: [ %s ]", "requestRdpTransport", display, sessionId,
          program.c_str(), joinArguments(args).c_str());

    const std::string logFile =
        (velkDirectory() /
         Utils::joinString("rdp_transport_", session.getInteger("uid", 0), "_", index, ".log"))
            .string();
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
    error("%s: session of another user refused, session id: %u, uid: %u, username: `%s'",
          "requestRdpTransport", sessionId, static_cast<unsigned>(uid), account ? account->user.c_str() : "");
    throw velk_error("requestRdpTransport");
}

std::list<std::string> ProxyConnection::prepareX11RdpArgs(const std::string& socketPath,
                                                          const std::string& samPath,
                                                          const JsonConfig& session, bool ownBuild) const {
    const auto cfg = currentConfig();
    std::list<std::string> args = cfg->getStringList("x11rdp:args");
    if (args.empty()) {
        args = {"/ipc-socket:%{socket}", "/max-connections:1"};
    }
    for (auto& arg : args) {
        arg = Utils::stringReplace(arg, "%{socket}", socketPath);
        arg = Utils::stringReplace(arg, "%{display}", session.getInteger("display", 0));
        arg = Utils::stringReplace(arg, "%{authfile}", session.getString("xauthfile", ""));
        arg = Utils::stringReplace(arg, "%{home}", session.getString("home", ""));
    }

    if (ownBuild && cfg->hasValue("kerberos:keytab")) {
        const std::string keytab = cfg->getString("kerberos:keytab", "");
        if (pathExists(keytab)) {
            args.push_back("/keytab:" + keytab);
        } else {
            warning("%s: keytab not exists, path: `%s'", "prepareX11RdpArgs", keytab.c_str());
        }
    }

    args.emplace_back(session.getBoolean("sec:rdp", false) ? "+sec-rdp" : "-sec-rdp");
    if (session.getBoolean("sec:nla", false)) {
        const std::string ntlm = session.getString("ntlm", "");
        args.emplace_back("+sec-nla");
        if (!ntlm.empty() && writePrivateFile(samPath, ntlm + "\n")) {
            args.push_back("/sam-file:" + samPath);
        }
    } else {
        args.emplace_back("-sec-nla");
    }
    args.emplace_back(session.getBoolean("sec:tls", false) ? "+sec-tls" : "-sec-tls");
    if (session.getBoolean("sec:auth", true)) {
        args.emplace_back("+auth");
    }
    if (ownBuild) {
        args.push_back(std::string("/log-level:") + transportLogLevel(*cfg));
    }
    return args;
}

}  // namespace Velk
