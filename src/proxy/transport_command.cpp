// See transport_command.h. The keytab and the candidate programs are looked
// up in the file system; that is all the outside world this module sees.
#include "proxy/transport_command.h"

#include <filesystem>

#include "logger.h"
#include "utils/strings.h"

namespace Velk {

namespace fs = std::filesystem;

namespace {

constexpr const char* ownBuildPrefix = "/usr/libexec/velk/";
constexpr const char* defaultTransport = "/usr/libexec/velk/freerdp-shadow-cli";

bool pathExists(const std::string& path) {
    const auto type = fs::status(path).type();
    return type != fs::file_type::not_found && type != fs::file_type::none;
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

std::list<std::string> argumentTemplates(const JsonConfig& cfg, const std::string& socketPath,
                                         const JsonConfig& session) {
    std::list<std::string> args = cfg.getStringList("x11rdp:args");
    if (args.empty()) {
        args = {"/ipc-socket:%{socket}", "/max-connections:1"};
    }
    for (auto& arg : args) {
        arg = Utils::stringReplace(arg, "%{socket}", socketPath);
        arg = Utils::stringReplace(arg, "%{display}", session.getInteger("display", 0));
        arg = Utils::stringReplace(arg, "%{authfile}", session.getString("xauthfile", ""));
        arg = Utils::stringReplace(arg, "%{home}", session.getString("home", ""));
    }
    return args;
}

// The keytab's message names the member that builds the arguments.
void addKeytab(const JsonConfig& cfg, std::list<std::string>& args) {
    const std::string keytab = cfg.getString("kerberos:keytab", "");
    if (pathExists(keytab)) {
        args.push_back("/keytab:" + keytab);
    } else {
        Syslog::warning("%s: keytab not exists, path: `%s'", "prepareX11RdpArgs", keytab.c_str());
    }
}

}  // namespace

const std::vector<std::string>& argumentPlaceholders() {
    static const std::vector<std::string> names = {"%{socket}", "%{display}", "%{authfile}", "%{home}"};
    return names;
}

std::string configuredTransportProgram(const JsonConfig& cfg) {
    return cfg.getString("x11rdp:path", defaultTransport);
}

const std::vector<std::string>& fallbackTransportPrograms() {
    static const std::vector<std::string> programs = {
        "/usr/libexec/velk/freerdp-shadow-cli",
        "/usr/bin/freerdp-shadow-cli",
        "/usr/local/bin/freerdp-shadow-cli",
    };
    return programs;
}

std::string chooseTransportProgram(const JsonConfig& cfg) {
    std::string configured = configuredTransportProgram(cfg);
    if (pathExists(configured)) {
        return configured;
    }
    for (const std::string& candidate : fallbackTransportPrograms()) {
        if (pathExists(candidate)) {
            Syslog::warning("%s: rdp transport changed to: `%s'", "requestRdpTransport", candidate.c_str());
            return candidate;
        }
    }
    Syslog::error("%s: rdp transport not found, check config option: `%s'", "requestRdpTransport",
                  "x11rdp:path");
    throw velk_error("requestRdpTransport");
}

bool isOwnTransportBuild(const std::string& program) {
    return program.rfind(ownBuildPrefix, 0) == 0;
}

std::list<std::string> transportArguments(const JsonConfig& cfg, const std::string& socketPath,
                                          const std::string& samFile, const JsonConfig& session,
                                          bool ownBuild) {
    std::list<std::string> args = argumentTemplates(cfg, socketPath, session);
    if (ownBuild && cfg.hasValue("kerberos:keytab")) {
        addKeytab(cfg, args);
    }
    args.emplace_back(session.getBoolean("sec:rdp", false) ? "+sec-rdp" : "-sec-rdp");
    if (session.getBoolean("sec:nla", false)) {
        args.emplace_back("+sec-nla");
        if (!samFile.empty()) {
            args.push_back("/sam-file:" + samFile);
        }
    } else {
        args.emplace_back("-sec-nla");
    }
    args.emplace_back(session.getBoolean("sec:tls", false) ? "+sec-tls" : "-sec-tls");
    if (session.getBoolean("sec:auth", true)) {
        args.emplace_back("+auth");
    }
    if (ownBuild) {
        args.push_back(std::string("/log-level:") + transportLogLevel(cfg));
    }
    return args;
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

std::string transportLogName(const JsonConfig& session, uint64_t index) {
    return Utils::joinString("rdp_transport_", session.getInteger("uid", 0), "_", index, ".log");
}

std::string joinArguments(const std::list<std::string>& args) {
    std::string joined;
    for (const auto& arg : args) {
        joined.append(joined.empty() ? "" : ", ").append(arg);
    }
    return joined;
}

}  // namespace Velk
