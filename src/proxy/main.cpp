// velk_proxy: a per-user daemon that forwards one RDP client per allowed
// connection of the session manager to the session's RDP transport.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logger.h"
#include "proxy/config_check.h"
#include "proxy/private_directory.h"
#include "proxy/proxy.h"
#include "proxy/proxy_connection.h"
#include "proxy/status_socket.h"
#include "utils/users.h"

namespace {

// An unknown or incomplete option, as the command-line tools' convention has it.
constexpr int usageStatus = 2;

struct Options {
    std::string config = "velk_proxy.json";
    std::string user;
    bool background = false;
    bool help = false;
    bool version = false;
    bool checkOnly = false;
    bool status = false;
    bool configGiven = false;
};

// The value of the option `name' at argv[it], given as "--name=value" or as
// "--name value" (it then moves on to the value); nullopt when argv[it] is
// another option or the value is missing.
std::optional<std::string> optionValue(std::string_view name, int argc, char** argv, int& it) {
    const std::string_view arg(argv[it]);
    if (arg.substr(0, name.size()) != name) {
        return std::nullopt;
    }
    if (arg.size() == name.size()) {
        return it + 1 < argc ? std::optional<std::string>(argv[++it]) : std::nullopt;
    }
    if (arg[name.size()] == '=') {
        return std::string(arg.substr(name.size() + 1));
    }
    return std::nullopt;
}

// nullopt when the command line is not understood.
std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int it = 1; it < argc; ++it) {
        const std::string arg(argv[it]);
        if (arg == "--background") {
            options.background = true;
        } else if (const auto config = optionValue("--config", argc, argv, it)) {
            options.config = *config;
            options.configGiven = true;
        } else if (const auto user = optionValue("--user", argc, argv, it)) {
            options.user = *user;
        } else if (arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--check-config") {
            options.checkOnly = true;
        } else if (arg == "--status") {
            options.status = true;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

void printUsage(std::ostream& out, const char* program) {
    out << "usage: " << program
        << " [--background] [--config PATH] [--user USER] [--check-config] [--status] [--help] [--version]"
        << std::endl;
}

void printHelp(const char* program) {
    printUsage(std::cout, program);
    std::cout << "Relays the RDP clients that the session manager allows to the session's transport.\n"
                 "  --background     go on in a child process, the command returns at once\n"
                 "  --config PATH    the configuration file (velk_proxy.json); also --config=PATH\n"
                 "  --user USER      started as root: run as this user; also --user=USER\n"
                 "  --check-config   check the configuration file, report every problem, and end\n"
                 "  --status         print what the running proxy of this user does (JSON), and end\n"
                 "  --help           this text\n"
                 "  --version        the version\n"
                 "Exit status: 0 after an orderly stop, 1 on an error, 2 for a wrong command line.\n"
                 "See velk_proxy(1)."
              << std::endl;
}

// Every problem on standard error, and a refused start in the journal too;
// true when there is none.
bool configPasses(const std::string& path, bool starting) {
    const std::vector<std::string> problems = Velk::checkProxyConfig(path);
    for (const auto& problem : problems) {
        std::cerr << problem << std::endl;
        if (starting) {
            Velk::Syslog::error("%s: %s", "checkConfig", problem.c_str());
        }
    }
    return problems.empty();
}

bool configExists(const std::string& path) {
    std::error_code ec;
    const auto type = std::filesystem::status(path, ec).type();
    return type != std::filesystem::file_type::none && type != std::filesystem::file_type::not_found;
}

// Said on standard error too: a proxy that cannot become its user must not
// start, and whoever started it has to see why.
bool refuseIdentity(const char* reason, const std::string& name) {
    Velk::Syslog::error("%s: %s: `%s'", "becomeUser", reason, name.c_str());
    std::cerr << "velk_proxy: " << reason << ": " << name << std::endl;
    return false;
}

// False when the proxy must not go on: it would otherwise run, and start
// transports, as root or with a mix of root's and the user's ids.
bool becomeUser(const std::string& name) {
    if (name.empty() || getuid() != 0) {
        return true;
    }
    const auto info = Velk::Utils::getUserInfo(name, true);
    if (!info) {
        return refuseIdentity("no such user", name);
    }
    if (info->uid == 0) {
        return true;
    }
    if (!Velk::Utils::switchToUser(*info) || !Velk::Utils::holdsIdentityOf(*info)) {
        return refuseIdentity("change of user failed", name);
    }
    return true;
}

// True in the process that goes on as the daemon.
bool enterBackground() {
    if (fork() != 0) {
        return false;
    }
    signal(SIGTERM, signalHandler);
    signal(SIGINT, SIG_IGN);
    return true;
}

// A reload and a report never end the proxy, in either mode.
void registerServiceSignals() {
    signal(SIGHUP, reloadSignalHandler);
    signal(SIGUSR1, reportSignalHandler);
}

// False when the proxy ended on an error rather than by an orderly stop.
bool runProxy(const std::string& configPath) {
    DBus::default_dispatcher = &Velk::proxyDispatcher;
    DBus::Connection conn = DBus::Connection::SystemBus();
    Velk::ProxyConnection proxy(conn, configPath, "/ru/tavio/velk", "ru.tavio.velk");
    proxy.start();
    return !proxy.endedOnError();
}

void logFilesystemError(const std::filesystem::filesystem_error& err) {
    Velk::Syslog::error(
        "exception: what: `%s', path1: `%s', path2:`%s', code value: %d, code message: `%s', category name: "
        "`%s'",
        err.what(), err.path1().c_str(), err.path2().c_str(), err.code().value(),
        err.code().message().c_str(), err.code().category().name());
}

// The running proxy's own answer; with --config, only a proxy that runs with
// that file.
int printStatus(const Options& options) {
    std::string why;
    const auto answer = Velk::askStatus((Velk::proxyHome() / ".velk").string(), why);
    if (!answer) {
        std::cerr << "velk_proxy: no proxy of this user runs: " << why << std::endl;
        return 1;
    }
    std::string running;
    try {
        running = Velk::JsonConfigString(*answer).getString("config");
    } catch (const std::exception&) {
        std::cerr << "velk_proxy: the proxy's answer is no status report" << std::endl;
        return 1;
    }
    std::error_code ec;
    const std::string wanted = std::filesystem::weakly_canonical(options.config, ec).string();
    if (options.configGiven && running != wanted) {
        std::cerr << "velk_proxy: the running proxy uses " << running << ", not " << wanted << std::endl;
        return 1;
    }
    std::cout << *answer;
    return 0;
}

// The answers that need no daemon: help, version, status, the
// configuration's check. Nothing when the proxy is to run.
std::optional<int> answerAtOnce(const Options& options, const char* program) {
    if (options.help) {
        printHelp(program);
        return 0;
    }
    if (options.version) {
        std::cout << "velk_proxy " << Velk::productVersionNumber() << std::endl;
        return 0;
    }
    if (options.status) {
        return printStatus(options);
    }
    if (!configExists(options.config)) {
        std::cerr << "config not found: " << options.config << std::endl;
        return 1;
    }
    // A mistake is reported where it is, before the proxy runs with it.
    if (!configPasses(options.config, !options.checkOnly)) {
        return 1;
    }
    if (options.checkOnly) {
        std::cout << options.config << ": OK" << std::endl;
        return 0;
    }
    return std::nullopt;
}

// False in the process that started a background daemon and is to return.
bool setUpSignals(bool background) {
    // Raised before the stop signals are registered, so that a signal during
    // start-up stops the proxy instead of being overwritten later.
    Velk::startProxy();
    if (background) {
        if (!enterBackground()) {
            return false;
        }
    } else {
        signal(SIGTERM, signalHandler);
        signal(SIGINT, signalHandler);
    }
    registerServiceSignals();
    return true;
}

// An error ends the proxy with status 1, so that a service manager sees the
// failure and restarts it; an orderly stop is 0.
int runUntilStopped(const std::string& configPath) {
    try {
        return runProxy(configPath) ? 0 : 1;
    } catch (const DBus::Error& err) {
        Velk::Syslog::error("dbus error: %s", err.message());
    } catch (const Velk::ManagerCallError& err) {
        Velk::Syslog::error("dbus error: %s", err.what());
    } catch (const std::filesystem::filesystem_error& err) {
        logFilesystemError(err);
    } catch (const std::exception& err) {
        Velk::Syslog::error("exception: %s", err.what());
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseOptions(argc, argv);
    if (!options) {
        printUsage(std::cerr, argv[0]);
        return usageStatus;
    }
    if (const auto answer = answerAtOnce(*options, argv[0])) {
        return *answer;
    }
    if (!becomeUser(options->user)) {
        return 1;
    }
    if (!setUpSignals(options->background)) {
        return 0;
    }
    return runUntilStopped(options->config);
}
