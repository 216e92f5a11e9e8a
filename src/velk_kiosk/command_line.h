// What velk_kiosk is asked to do by its first argument: run a program (the
// default: every argument from the program on belongs to the program), or
// answer --help, --version or --check-rules and end.
#pragma once

#include <iosfwd>
#include <string>

namespace Velk {

// A command line the kiosk does not understand, as command-line tools have it.
constexpr int usageStatus = 2;

struct CommandLine {
    enum class Mode { Run, Help, Version, CheckRules, Wrong };
    Mode mode = Mode::Run;
    // Run: the index of the program's path in argv ("--" before it is skipped).
    int programIndex = 1;
    // CheckRules: the file to check.
    std::string rulesPath;
    // Wrong: what is wrong, for the line before the usage.
    std::string problem;
};

// Only the first argument can be an option: after the program's path every
// argument is the program's, "--help" included.
CommandLine parseCommandLine(int argc, char** argv);

void printUsage(std::ostream& out, const char* program);
void printHelp(std::ostream& out, const char* program);

}  // namespace Velk
