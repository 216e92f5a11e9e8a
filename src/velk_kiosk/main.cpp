// velk_kiosk: a kiosk window manager for one X display that shows one program.
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "integrity/integrity_labeler.h"
#include "velk_kiosk/kiosk.h"

int main(int argc, char** argv) {
    const char* display = std::getenv("DISPLAY");
    if (!display) {
        std::cerr << "DISPLAY not found" << std::endl;
        return -1;
    }

    if (argc < 2) {
        std::cerr << "Usage: " << argv[0] << " xprog param1 param2 param3" << std::endl;
        return 0;
    }

    try {
        const int displayNumber = std::stoi(std::string(display).substr(1));
        Velk::installIntegrityLabeler();
        return Velk::start(displayNumber, argc, argv);
    } catch (const std::exception& err) {
        std::cerr << "exception: " << err.what() << std::endl;
    }
    return 0;
}
