// The kiosk's loop; see kiosk_loop.h.
#include "velk_kiosk/kiosk_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <utility>

#include "logger.h"
#include "utils/process.h"
#include "velk_kiosk/kiosk.h"

namespace Velk {

namespace {

// How long what a program left behind may take to end after a stop, and
// after the display was lost: the kiosk then ends within 2 s, and 1 s, of
// its program's end, as a service manager waiting for it expects.
constexpr auto stoppedLeftBehindWait = std::chrono::milliseconds(1500);
constexpr auto lostDisplayLeftBehindWait = std::chrono::milliseconds(500);

// As a shell reports a program's end.
int exitStatusOf(int waitStatus) {
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return WEXITSTATUS(waitStatus);
}

}  // namespace

KioskLoop::KioskLoop(WmKiosk& manager, PidFd started)
    : windowManager(manager), program(std::move(started)), programPid(program->pid()) {}

int KioskLoop::run() {
    while (!finished()) {
        if (displayAlive && !windowManager.handleEvents()) {
            onDisplayLost();
        }
        if (!finished()) {
            waitForWork();
        }
    }
    if (!leftBehindDone) {
        Syslog::notice("%s: not waited for: %zu processes left behind", "run", leftBehind.size());
    }
    if (displayAlive) {
        windowManager.giveBack();
    }
    Syslog::debug("%s: ended", "run");
    return exitStatus();
}

bool KioskLoop::finished() const {
    return !program && (leftBehindDone || (deadline && Clock::now() >= *deadline));
}

// Sleeps until the display, a signal, the program or what it left behind has
// something; the descriptors are those of this moment, so none stays
// watched once it is done with.
void KioskLoop::waitForWork() {
    std::vector<pollfd> fds;
    std::vector<Watched> watched;
    const auto watch = [&](int fd, Source source, size_t index = 0) {
        fds.push_back({fd, POLLIN, 0});
        watched.push_back({source, index});
    };
    if (displayAlive) {
        watch(windowManager.connectionFd(), Source::Display);
        watch(kioskReloadEvent.fd(), Source::Reload);
    }
    if (!stopAsked) {
        watch(kioskStopEvent.fd(), Source::Stop);
    }
    if (program) {
        watch(program->fd(), Source::Program);
    }
    for (size_t index = 0; index < leftBehind.size(); ++index) {
        watch(leftBehind[index].fd(), Source::LeftBehind, index);
    }
    // Interrupted by a signal, or at the deadline: the loop looks again.
    if (poll(fds.data(), fds.size(), pollTimeout().value_or(-1)) <= 0) {
        return;
    }
    for (size_t at = 0; at < fds.size(); ++at) {
        if (fds[at].revents != 0) {
            onReady(watched[at]);
        }
    }
}

void KioskLoop::onReady(const Watched& ready) {
    switch (ready.source) {
        case Source::Display:
            // Read by the next handleEvents.
            break;
        case Source::Stop:
            onStop();
            break;
        case Source::Reload:
            kioskReloadEvent.clear();
            windowManager.reloadRules();
            break;
        case Source::Program:
            onProgramEnd();
            break;
        case Source::LeftBehind:
            onLeftBehindEnd(leftBehind[ready.index]);
            break;
    }
}

// Until the deadline or the window manager's own next work, whichever
// comes first.
std::optional<int> KioskLoop::pollTimeout() const {
    std::optional<Clock::time_point> wake = deadline;
    const std::optional<Clock::time_point> work = displayAlive ? windowManager.nextWorkAt() : std::nullopt;
    if (work && (!wake || *work < *wake)) {
        wake = work;
    }
    if (!wake) {
        return std::nullopt;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// The windows' processes and the program are asked to end; windows are
// still managed while the kiosk waits for them (a program may ask the user
// something on its way out).
void KioskLoop::onStop() {
    stopAsked = true;
    if (ending == Ending::None) {
        ending = Ending::Stop;
    }
    Syslog::notice("%s: stop", "onStop");
    if (displayAlive) {
        windowManager.signalClientProcesses();
    }
    signalProgram();
    if (!program) {
        endLeftBehind();
    }
}

// Nobody can see the program any more: it is asked to end, and with it every
// child of the kiosk (what the program left behind so far among them).
void KioskLoop::onDisplayLost() {
    displayAlive = false;
    if (ending == Ending::None) {
        ending = Ending::DisplayLost;
    }
    Syslog::error("%s: X connection lost, code: %d", "onDisplayLost", windowManager.hasError());
    signalProgram();
    for (const pid_t child : ownChildren()) {
        const std::optional<PidFd> process = child != programPid ? PidFd::open(child) : std::nullopt;
        if (process && process->signal(SIGTERM)) {
            Syslog::debug("%s: sent SIGTERM to: %d", "onDisplayLost", child);
        }
    }
    if (!program) {
        endLeftBehind();
    }
}

// What the program left behind are now children of the kiosk (a subreaper).
void KioskLoop::onProgramEnd() {
    programStatus = program->reap();
    if (!programStatus) {
        return;
    }
    Utils::syslogWaitStatus(*programStatus, "onProgramEnd", programPid);
    program.reset();
    for (const pid_t child : ownChildren()) {
        if (std::optional<PidFd> process = PidFd::open(child)) {
            leftBehind.push_back(std::move(*process));
        }
    }
    Syslog::debug("%s: left behind: %zu", "onProgramEnd", leftBehind.size());
    leftBehindDone = leftBehind.empty();
    if (ending != Ending::None) {
        endLeftBehind();
    }
}

void KioskLoop::onLeftBehindEnd(const PidFd& process) {
    if (const std::optional<int> status = process.reap()) {
        Utils::syslogWaitStatus(*status, "onLeftBehindEnd", process.pid());
        leftBehindDone = true;
    }
}

void KioskLoop::signalProgram() const {
    if (program && program->signal(SIGTERM)) {
        Syslog::debug("%s: sent SIGTERM to program: %d", "signalProgram", programPid);
    }
}

void KioskLoop::endLeftBehind() {
    for (const PidFd& process : leftBehind) {
        if (process.signal(SIGTERM)) {
            Syslog::debug("%s: sent SIGTERM to: %d", "endLeftBehind", process.pid());
        }
    }
    const Clock::time_point end =
        Clock::now() + (ending == Ending::DisplayLost ? lostDisplayLeftBehindWait : stoppedLeftBehindWait);
    deadline = deadline ? std::min(*deadline, end) : end;
}

int KioskLoop::exitStatus() const {
    switch (ending) {
        case Ending::Stop:
            return 0;
        case Ending::DisplayLost:
            return displayLostStatus;
        case Ending::None:
            break;
    }
    return exitStatusOf(programStatus.value_or(0));
}

}  // namespace Velk
