// The kiosk's lifecycle between main and the window manager.
#include "velk_kiosk/kiosk.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
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
#include "velk_kiosk/wm_kiosk.h"

namespace Velk {

std::atomic<bool> kioskRunning{false};
std::atomic<bool> rulesReloadRequested{false};

namespace {

// A stop asked for by a signal ends the kiosk with 0, whatever the program's
// end looked like after the kiosk asked it to end.
std::atomic<bool> stopRequested{false};

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

int waitAndReport(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Utils::syslogWaitStatus(status, "start", pid);
    return status;
}

// As a shell reports a program's end.
int exitStatusOf(int waitStatus) {
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return WEXITSTATUS(waitStatus);
}

}  // namespace

void signalHandler(int sig) {
    if (sig == SIGTERM || sig == SIGINT) {
        stopRequested.exchange(true);
        kioskRunning.exchange(false);
    } else if (sig == SIGHUP) {
        rulesReloadRequested.exchange(true);
    }
}

int start(int display, int argc, char** argv) {
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

    // The window manager runs before the program maps its first window and
    // until its last descendant waited for has ended.
    auto windowManager = std::make_unique<WmKiosk>(display);
    // The program writes where the kiosk writes: a kiosk run by hand, or by
    // a unit, shows what its program says.
    const pid_t pid = Utils::runChildProcess(program, args, {}, nullptr, Utils::inheritOutputs);
    // Held before it can be waited for: the pid then names the program alone
    // when the window manager signals it at a stop.
    if (std::optional<PidFd> held = PidFd::open(pid)) {
        windowManager->holdProgram(std::move(*held));
    }

    Syslog::debug("%s: wait pid: %d", "start", pid);
    const int status = waitAndReport(pid);

    Syslog::debug("%s: wait all childs: %d", "start", -1);
    waitAndReport(-1);

    windowManager.reset();
    return stopRequested ? 0 : exitStatusOf(status);
}

}  // namespace Velk
