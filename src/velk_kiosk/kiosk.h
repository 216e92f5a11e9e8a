// Life of the kiosk process: take over the display, start the one kiosk
// program, wait for it (and once more for any orphan it left), shut down.
#pragma once

#include <atomic>

namespace Velk {

// Cleared by the signal handler, a broken X connection or the window manager's
// destructor; every write is an atomic exchange.
extern std::atomic<bool> kioskRunning;

// 0 after an orderly end, -1 when the program path does not exist.  Failures of
// the window manager or of the child start propagate as exceptions.
int start(int display, int argc, char** argv);

// SIGTERM and SIGINT clear kioskRunning; nothing else happens in the handler.
void signalHandler(int sig);

}  // namespace Velk
