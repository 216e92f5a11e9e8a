// Parses the stand-in manager's command line; see manager_options.h.
#include "manager_options.h"

#include <map>

namespace VelkStandin {

namespace {

std::map<std::string, std::string ManagerOptions::*> valueOptions() {
    return {{"--session-info", &ManagerOptions::sessionInfoPath},
            {"--test-reply", &ManagerOptions::testReply},
            {"--password", &ManagerOptions::password},
            {"--notices", &ManagerOptions::noticesPath},
            {"--control", &ManagerOptions::controlPath},
            {"--ready", &ManagerOptions::readyPath}};
}

}  // namespace

std::optional<ManagerOptions> parseManagerOptions(int argc, const char* const* argv, std::ostream& err) {
    const auto options = valueOptions();
    ManagerOptions result;
    for (int index = 1; index < argc; ++index) {
        const std::string name = argv[index];
        if (name == "--help") {
            result.helpRequested = true;
            continue;
        }
        const auto option = options.find(name);
        if (option == options.end()) {
            err << argv[0] << ": unknown option `" << name << "'\n";
            return std::nullopt;
        }
        if (index + 1 == argc) {
            err << argv[0] << ": option `" << name << "' needs a value\n";
            return std::nullopt;
        }
        result.*(option->second) = argv[++index];
    }
    return result;
}

void writeManagerUsage(const char* program, std::ostream& out) {
    out << "usage: " << program
        << " [--session-info FILE] [--test-reply TEXT] [--password TEXT] [--notices FILE]\n"
           "       [--control FIFO] [--ready FILE]\n"
           "\n"
           "Owns \"ru.tavio.velk\" on the system bus (DBUS_SYSTEM_BUS_ADDRESS) and serves\n"
           "\"/ru/tavio/velk\" for tests and demos of the session proxy.\n"
           "A session's description, and the notices about it, are given only to root and to\n"
           "the user its \"uid\" (or \"username\") names; others get AccessDenied.\n"
           "\n"
           "  --session-info FILE  velkSessionInfoJson replies the text of FILE, read at each call;\n"
           "                       a built-in description of root's while FILE does not exist\n"
           "  --password TEXT      a description that names a \"username\" gets NLA with that\n"
           "                       user's SAM entry for TEXT (\"sec:nla\", \"ntlm\")\n"
           "  --test-reply TEXT    velkTest replies TEXT (default \"ok\"; may be empty)\n"
           "  --notices FILE       one line per call and per control command is appended to FILE:\n"
           "                       \"proxyListenStarted 7 true\", \"proxyClientConnected 7 127.0.0.1\",\n"
           "                       \"proxySessionConnected 7 1234 127.0.0.1\", \"velkTest\",\n"
           "                       \"velkSessionInfoJson 7\"; \" [error]\" ends the line of a call that\n"
           "                       was answered with an error; \"control LINE\" or\n"
           "                       \"control-rejected LINE\" follows each command\n"
           "  --control FIFO       commands, one per line (the FIFO is created when missing):\n"
           "                       a signal name and its arguments, e.g. \"signalProxyAllowConnection 7 "
           "1\",\n"
           "                       \"signalSessionDisconnected 7 1234 127.0.0.1\", \"signalVelkStopped\"\n"
           "                       (the last string argument is the rest of the line);\n"
           "                       \"session ID JSON\" (that session's own description),\n"
           "                       \"fail METHOD\" (an error reply), \"hang METHOD\" (no reply),\n"
           "                       \"succeed METHOD\", \"quit\"\n"
           "  --ready FILE         written with the process id once the name is owned\n"
           "\n"
           "Ends on SIGTERM, SIGINT or \"quit\".\n";
}

}  // namespace VelkStandin
