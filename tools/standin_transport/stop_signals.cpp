// Delivers the stand-in transport's stop signals through a signalfd; see stop_signals.h.
#include "stop_signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace VelkStandin {

namespace {

[[noreturn]] void fail(const char* call) {
    throw std::runtime_error(std::string(call) + " failed: " + std::strerror(errno));
}

}  // namespace

int openStopSignals(bool ignoreTerm) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    if (ignoreTerm) {
        signal(SIGTERM, SIG_IGN);
    } else {
        sigaddset(&stopSignals, SIGTERM);
    }
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        fail("sigprocmask");
    }
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        fail("signalfd");
    }
    return stopFd;
}

int readStopSignal(int stopFd) {
    signalfd_siginfo info{};
    if (read(stopFd, &info, sizeof(info)) != sizeof(info)) {
        fail("read of signalfd");
    }
    return static_cast<int>(info.ssi_signo);
}

int waitForStopSignal(int stopFd) {
    pollfd wanted{stopFd, POLLIN, 0};
    while (poll(&wanted, 1, -1) < 0) {
        if (errno != EINTR) {
            fail("poll");
        }
    }
    return readStopSignal(stopFd);
}

}  // namespace VelkStandin
