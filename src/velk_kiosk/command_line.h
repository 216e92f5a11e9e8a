// What velk_kiosk is asked to do by its first arguments: run a program (the
// default: every argument from the program on belongs to the program), with
// the rules of --rules PATH when given, or answer --help, --version or
// --check-rules and end.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace Velk {

// A command line the kiosk does not understand, as command-line tools have it.
constexpr int usageStatus = 2;

struct CommandLine {
    enum class Mode { Run, Help, Version, CheckRules, Wrong };
    Mode mode = Mode::Run;
    // Run: the index of the program's path in argv (the options and "--"
    // before it are skipped).
    int programIndex = 1;
    // Run: the rules file; CheckRules: the file to check.
    std::string rulesPath;
    // Wrong: what is wrong, for the line before the usage.
    std::string problem;
};

// Options come before the program's path: --help, --version and
// --check-rules only as the first argument, --rules PATH (or --rules=PATH)
// before the program.  After the program's path every argument is the
// program's, "--help" included.
CommandLine parseCommandLine(int argc, char** argv);

// The display number of a DISPLAY value ":N" or ":N.S" (a local display);
// nullopt for anything else.
std::optional<int> displayNumber(std::string_view display);

void printUsage(std::ostream& out, const char* program);
void printHelp(std::ostream& out, const char* program);

}  // namespace Velk
