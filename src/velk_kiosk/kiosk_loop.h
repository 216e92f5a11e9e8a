// The kiosk's one loop, on the main thread.  It sleeps in poll on the X
// connection, the stop and reload events and the program's pidfd (after the
// program's end, on the pidfds of what it left behind), and wakes only when
// one of them has something: no timer runs while the kiosk is idle.  Windows
// are managed until the loop ends, also while it waits for a stopped program
// or for what a program left behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <vector>

#include "velk_kiosk/descendants.h"
#include "velk_kiosk/wm_kiosk.h"

namespace Velk {

class KioskLoop {
public:
    KioskLoop(WmKiosk& manager, PidFd started);

    // Runs until the program has ended and, after it, one of the processes
    // it left behind (at once when it left none).  After a stop or a lost
    // display the program and those processes are asked to end, and the
    // ones left behind are waited for only briefly.  Returns the kiosk's
    // exit status (kiosk.h).
    int run();

private:
    using Clock = std::chrono::steady_clock;
    // Why the kiosk ends, when it is not its program's own end.
    enum class Ending { None, Stop, DisplayLost };
    // What a descriptor the loop polls stands for; `index` into leftBehind.
    enum class Source { Display, Stop, Reload, Program, LeftBehind };
    struct Watched {
        Source source;
        size_t index;
    };

    bool finished() const;
    void waitForWork();
    void onReady(const Watched& ready);
    std::optional<int> pollTimeout() const;
    void onStop();
    void onDisplayLost();
    void onProgramEnd();
    void onLeftBehindEnd(const PidFd& process);
    void signalProgram() const;
    // What the program left behind is asked to end and given a little time.
    void endLeftBehind();
    int exitStatus() const;

    WmKiosk& windowManager;
    std::optional<PidFd> program;
    pid_t programPid;
    std::optional<int> programStatus;
    std::vector<PidFd> leftBehind;
    bool leftBehindDone = false;
    bool displayAlive = true;
    bool stopAsked = false;
    Ending ending = Ending::None;
    std::optional<Clock::time_point> deadline;
};

}  // namespace Velk
