// Life of the kiosk process: take over the display, start the one kiosk
// program, run the kiosk's loop until the program (and what it left behind)
// is done with, shut down.
#pragma once

#include <filesystem>

#include "utils/wake_event.h"

namespace Velk {

// Raised by the signal handler, waited on by the kiosk's loop: SIGTERM and
// SIGINT stop the kiosk, SIGHUP reads the rules again.
extern Utils::WakeEvent kioskStopEvent;
extern Utils::WakeEvent kioskReloadEvent;

// The exit status of a kiosk that could not start: no program, a program that
// cannot be executed, no X server, another window manager, a DISPLAY that
// names no display.
constexpr int startFailedStatus = 255;
// The exit status of a kiosk whose display went away under it (the X server
// ended, the connection broke) before any stop was asked for (EX_UNAVAILABLE).
constexpr int displayLostStatus = 69;

// 0 after an orderly stop (SIGTERM, SIGINT); displayLostStatus after a lost
// display; else the program's own exit status (128 + the signal's number when
// a signal ended it); startFailedStatus when the program is missing or cannot
// be executed.  Failures of the window manager or of the child start
// propagate as exceptions.
int start(int display, int argc, char** argv, const std::filesystem::path& rulesPath);

// SIGTERM and SIGINT raise kioskStopEvent, SIGHUP kioskReloadEvent; nothing
// else happens in the handler.
void signalHandler(int sig);

}  // namespace Velk
