// The test's end of the kiosk's re-parenting gate (kiosk_reparent_hook.cpp):
// every re-parenting the kiosk is about to send is let through at once, but
// for a window the test holds, an action of the test runs first.  The kiosk
// is then waiting between its map of the window and its re-parenting.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace VelkTest {

class ReparentGate {
public:
    ReparentGate();
    // Stops answering; a kiosk still asking goes on unheld.
    ~ReparentGate();
    ReparentGate(const ReparentGate&) = delete;
    ReparentGate& operator=(const ReparentGate&) = delete;

    // What velk_kiosk is started behind so that it asks this gate.
    std::vector<std::string> kioskPrefix() const;
    // The kiosk's next re-parenting of the window waits until the action
    // has run.
    void hold(xcb_window_t win, std::function<void()> action);
    // Waits (bounded) until the held window's action has run.
    bool waitForHeld(xcb_window_t win, std::chrono::milliseconds timeout);

private:
    void serve();
    void answer(int client);

    TempDir dir;
    std::string socketPath;
    int listener = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::mutex lock;
    std::map<xcb_window_t, std::function<void()>> held;
    std::map<xcb_window_t, bool> passed;
    std::thread server;
};

}  // namespace VelkTest
