// velk_kiosk: a kiosk window manager for one X display that shows one program.
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>

#include "integrity/integrity_labeler.h"
#include "logger.h"
#include "velk_kiosk/command_line.h"
#include "velk_kiosk/kiosk.h"
#include "velk_kiosk/rules_file.h"
#include "velk_kiosk/wm_kiosk.h"

namespace {

// argv[1] is the program's path, the rest its arguments.
int runKiosk(int argc, char** argv, const std::string& rulesPath) {
    const char* display = std::getenv("DISPLAY");
    if (!display) {
        std::cerr << "DISPLAY not found" << std::endl;
        return Velk::startFailedStatus;
    }
    if (argc < 2) {
        Velk::printUsage(std::cerr, argv[0]);
        return 0;
    }
    const std::optional<int> number = Velk::displayNumber(display);
    if (!number) {
        std::cerr << "velk_kiosk: DISPLAY '" << display << "' is not a display name" << std::endl;
        return Velk::startFailedStatus;
    }

    try {
        Velk::installIntegrityLabeler();
        return Velk::start(*number, argc, argv, rulesPath);
    } catch (const Velk::DisplayError& err) {
        std::cerr << "velk_kiosk: " << err.what() << std::endl;
    } catch (const std::exception& err) {
        std::cerr << "exception: " << err.what() << std::endl;
    }
    return Velk::startFailedStatus;
}

}  // namespace

int main(int argc, char** argv) {
    const Velk::CommandLine line = Velk::parseCommandLine(argc, argv);
    switch (line.mode) {
        case Velk::CommandLine::Mode::Help:
            Velk::printHelp(std::cout, argv[0]);
            return 0;
        case Velk::CommandLine::Mode::Version:
            std::cout << "velk_kiosk " << Velk::productVersionNumber() << std::endl;
            return 0;
        case Velk::CommandLine::Mode::CheckRules:
            return Velk::checkRulesFile(line.rulesPath, std::cout, std::cerr);
        case Velk::CommandLine::Mode::Wrong:
            std::cerr << "velk_kiosk: " << line.problem << std::endl;
            Velk::printUsage(std::cerr, argv[0]);
            return Velk::usageStatus;
        case Velk::CommandLine::Mode::Run:
            break;
    }
    // Seen from the program on, as if the options were not there.
    argv[line.programIndex - 1] = argv[0];
    return runKiosk(argc - line.programIndex + 1, argv + line.programIndex - 1, line.rulesPath);
}
