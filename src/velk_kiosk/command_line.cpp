// The kiosk's options and its usage and help texts.
#include "velk_kiosk/command_line.h"

#include <ostream>
#include <string_view>

#include "velk_kiosk/rules_file.h"

namespace Velk {

namespace {

CommandLine checkRules(int argc, char** argv) {
    CommandLine line;
    line.mode = CommandLine::Mode::CheckRules;
    line.rulesPath = argc > 2 ? argv[2] : installedRulesPath.string();
    if (argc > 3) {
        line.mode = CommandLine::Mode::Wrong;
        line.problem = "--check-rules takes one path";
    }
    return line;
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    const std::string_view first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "--version") {
        line.mode = first == "--help" ? CommandLine::Mode::Help : CommandLine::Mode::Version;
    } else if (first == "--check-rules") {
        line = checkRules(argc, argv);
    } else if (first == "--") {
        line.programIndex = 2;
    } else if (first.size() > 1 && first.front() == '-') {
        line.mode = CommandLine::Mode::Wrong;
        line.problem = "unknown option: " + std::string(first);
    }
    return line;
}

void printUsage(std::ostream& out, const char* program) {
    out << "Usage: " << program << " xprog param1 param2 param3" << std::endl;
}

void printHelp(std::ostream& out, const char* program) {
    printUsage(out, program);
    out << "       " << program << " --check-rules [PATH]\n"
        << "       " << program << " --help | --version\n"
        << "Takes over window management of the X display named by DISPLAY and shows the program\n"
           "xprog with its parameters, windows placed by the rules of "
        << installedRulesPath.string()
        << ".\n"
           "Only the first argument is an option; \"--\" before a program whose name starts with \"-\".\n"
           "  --check-rules [PATH]  check a rules file (the installed one by default), say every problem\n"
           "  --help                this text\n"
           "  --version             the version\n"
           "Signals: SIGTERM, SIGINT stop the kiosk and its program; SIGHUP reads the rules again.\n"
           "Environment: DISPLAY (required), XCB_AUTH_COOKIE, VELK_LOG_LEVEL (none, info, debug, trace).\n"
           "Exit status: the program's own (128 + N when signal N ended it); 0 after SIGTERM or SIGINT;\n"
           "255 when the kiosk cannot start (no program, no X server, another window manager);\n"
           "1 for a rules file with problems; 2 for an unknown option.\n"
           "See velk_kiosk(1)."
        << std::endl;
}

}  // namespace Velk
