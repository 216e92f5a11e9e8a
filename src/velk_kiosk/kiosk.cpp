// The kiosk's lifecycle between main and the window manager.
#include "velk_kiosk/kiosk.h"

#include <sys/prctl.h>
#include <sys/wait.h>

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

namespace {

bool programExists(const std::filesystem::path& program) {
    const auto type = std::filesystem::status(program).type();
    return type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
}

void waitAndReport(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Utils::syslogWaitStatus(status, "start", pid);
}

}  // namespace

void signalHandler(int sig) {
    if (sig == SIGTERM || sig == SIGINT) {
        kioskRunning.exchange(false);
    }
}

int start(int display, int argc, char** argv) {
    const std::filesystem::path program(argv[1]);
    if (!programExists(program)) {
        std::cerr << "not found: " << std::quoted(program.string()) << std::endl;
        return -1;
    }

    signal(SIGTERM, signalHandler);
    signal(SIGINT, signalHandler);

    const std::list<std::string> args(argv + 2, argv + argc);
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    // The window manager runs before the program maps its first window and
    // until its last descendant waited for has ended.
    auto windowManager = std::make_unique<WmKiosk>(display);
    const pid_t pid = Utils::runChildProcess(program, args, {}, nullptr, nullptr);
    // Held before it can be waited for: the pid then names the program alone
    // when the window manager signals it at a stop.
    if (std::optional<PidFd> held = PidFd::open(pid)) {
        windowManager->holdProgram(std::move(*held));
    }

    Syslog::debug("%s: wait pid: %d", "start", pid);
    waitAndReport(pid);

    Syslog::debug("%s: wait all childs: %d", "start", -1);
    waitAndReport(-1);

    windowManager.reset();
    return 0;
}

}  // namespace Velk
