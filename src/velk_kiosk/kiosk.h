// Life of the kiosk process: take over the display, start the one kiosk
// program, wait for it (and once more for any orphan it left), shut down.
#pragma once

#include <atomic>

namespace Velk {

// Cleared by the signal handler, a broken X connection or the window manager's
// destructor; every write is an atomic exchange.
extern std::atomic<bool> kioskRunning;
// Set by SIGHUP; the event thread reads the rules file again and clears it.
extern std::atomic<bool> rulesReloadRequested;

// The exit status of a kiosk that could not start: no program, a program that
// cannot be executed, no X server, another window manager.
constexpr int startFailedStatus = 255;

// 0 after an orderly stop (SIGTERM, SIGINT); the program's own exit status
// when it ended by itself (128 + the signal's number when a signal ended it);
// startFailedStatus when the program is missing or cannot be executed.
// Failures of the window manager or of the child start propagate as exceptions.
int start(int display, int argc, char** argv);

// SIGTERM and SIGINT clear kioskRunning, SIGHUP sets rulesReloadRequested;
// nothing else happens in the handler.
void signalHandler(int sig);

}  // namespace Velk
