// The kiosk's lifecycle between main and the window manager.
#include "velk_kiosk/kiosk.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <iomanip>
#include <iostream>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "logger.h"
#include "utils/process.h"
#include "velk_kiosk/descendants.h"
#include "velk_kiosk/kiosk_loop.h"
#include "velk_kiosk/wm_kiosk.h"

namespace Velk {

Utils::WakeEvent kioskStopEvent;
Utils::WakeEvent kioskReloadEvent;

namespace {

bool programExists(const std::filesystem::path& program) {
    const auto type = std::filesystem::status(program).type();
    return type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
}

// Judged before the display is taken: afterwards a failed execve would only
// show as the status of the /bin/false that replaces the child.
bool programExecutable(const std::filesystem::path& program) {
    return std::filesystem::is_regular_file(program) &&
           faccessat(AT_FDCWD, program.c_str(), X_OK, AT_EACCESS) == 0;
}

// The kiosk's loop waits for the program through its pidfd; a program that
// cannot be held is not left running unwatched.
PidFd holdProgram(pid_t pid) {
    std::optional<PidFd> held = PidFd::open(pid);
    if (!held) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        throw velk_error("start");
    }
    return std::move(*held);
}

}  // namespace

void signalHandler(int sig) {
    if (sig == SIGTERM || sig == SIGINT) {
        kioskStopEvent.raise();
    } else if (sig == SIGHUP) {
        kioskReloadEvent.raise();
    }
}

int start(int display, int argc, char** argv, const std::filesystem::path& rulesPath) {
    const std::filesystem::path program(argv[1]);
    if (!programExists(program)) {
        std::cerr << "not found: " << std::quoted(program.string()) << std::endl;
        return startFailedStatus;
    }
    if (!programExecutable(program)) {
        std::cerr << "not executable: " << std::quoted(program.string()) << std::endl;
        return startFailedStatus;
    }

    signal(SIGTERM, signalHandler);
    signal(SIGINT, signalHandler);
    signal(SIGHUP, signalHandler);

    const std::list<std::string> args(argv + 2, argv + argc);
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    // The window manager holds the display before the program maps its first
    // window; the events it meets until the loop runs wait in the connection.
    auto windowManager = std::make_unique<WmKiosk>(display, rulesPath);
    // The program writes where the kiosk writes: a kiosk run by hand, or by
    // a unit, shows what its program says.
    const pid_t pid = Utils::runChildProcess(program, args, {}, nullptr, Utils::inheritOutputs);
    Syslog::debug("%s: wait pid: %d", "start", pid);
    const int status = KioskLoop(*windowManager, holdProgram(pid)).run();
    windowManager.reset();
    return status;
}

}  // namespace Velk
