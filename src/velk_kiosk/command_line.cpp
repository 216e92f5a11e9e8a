// The kiosk's options and its usage and help texts.
#include "velk_kiosk/command_line.h"

#include <charconv>
#include <ostream>
#include <string_view>
#include <utility>

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

CommandLine wrong(std::string problem) {
    CommandLine line;
    line.mode = CommandLine::Mode::Wrong;
    line.problem = std::move(problem);
    return line;
}

// The options before the program: --rules PATH or --rules=PATH, then "--".
CommandLine runOptions(int argc, char** argv) {
    constexpr std::string_view rulesOption = "--rules";
    CommandLine line;
    line.rulesPath = installedRulesPath.string();
    int at = 1;
    const std::string_view first = argc > at ? argv[at] : "";
    if (first == rulesOption) {
        if (argc <= at + 1) {
            return wrong("--rules takes a path");
        }
        line.rulesPath = argv[at + 1];
        at += 2;
    } else if (first.substr(0, rulesOption.size() + 1) == "--rules=") {
        line.rulesPath = first.substr(rulesOption.size() + 1);
        ++at;
    }
    if (line.rulesPath.empty()) {
        return wrong("--rules takes a path");
    }
    const std::string_view next = argc > at ? argv[at] : "";
    if (next == "--") {
        ++at;
    } else if (next.size() > 1 && next.front() == '-') {
        return wrong("unknown option: " + std::string(next));
    }
    line.programIndex = at;
    return line;
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv) {
    const std::string_view first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "--version") {
        CommandLine line;
        line.mode = first == "--help" ? CommandLine::Mode::Help : CommandLine::Mode::Version;
        return line;
    }
    if (first == "--check-rules") {
        return checkRules(argc, argv);
    }
    return runOptions(argc, argv);
}

std::optional<int> displayNumber(std::string_view display) {
    if (display.empty() || display.front() != ':') {
        return std::nullopt;
    }
    const char* const end = display.data() + display.size();
    int number = 0;
    const auto [after, error] = std::from_chars(display.data() + 1, end, number);
    if (error != std::errc() || after == display.data() + 1 || number < 0) {
        return std::nullopt;
    }
    // ".S": a screen of that display, the kiosk manages its first one.
    const std::string_view screen(after, static_cast<size_t>(end - after));
    if (!screen.empty() && (screen.size() < 2 || screen.front() != '.' ||
                            screen.find_first_not_of("0123456789", 1) != screen.npos)) {
        return std::nullopt;
    }
    return number;
}

void printUsage(std::ostream& out, const char* program) {
    out << "Usage: " << program << " xprog param1 param2 param3" << std::endl;
}

void printHelp(std::ostream& out, const char* program) {
    printUsage(out, program);
    out << "       " << program << " [--rules PATH] [--] xprog [param ...]\n"
        << "       " << program << " --check-rules [PATH]\n"
        << "       " << program << " --help | --version\n"
        << "Takes over window management of the X display named by DISPLAY and shows the program\n"
           "xprog with its parameters, windows placed by the rules of "
        << installedRulesPath.string()
        << ".\n"
           "Options come before xprog; \"--\" before a program whose name starts with \"-\".\n"
           "  [--rules PATH]        read the rules from PATH instead (also --rules=PATH; SIGHUP reads\n"
           "                        PATH again)\n"
           "  --check-rules [PATH]  check a rules file (the installed one by default), say every problem\n"
           "  --help                this text\n"
           "  --version             the version\n"
           "Signals: SIGTERM, SIGINT stop the kiosk and its program; SIGHUP reads the rules again.\n"
           "Environment: DISPLAY (required), XCB_AUTH_COOKIE, VELK_LOG_LEVEL (none, info, debug, trace).\n"
           "Exit status: the program's own (128 + N when signal N ended it); 0 after SIGTERM or SIGINT;\n"
           "69 when the display was lost; 255 when the kiosk cannot start (no program, no X server,\n"
           "another window manager, DISPLAY not a display name); 1 for a rules file with problems;\n"
           "2 for a wrong command line.\n"
           "See velk_kiosk(1)."
        << std::endl;
}

}  // namespace Velk
