// Runs control commands and stops the dispatcher; see control_timer.h.
#include "control_timer.h"

#include <iostream>
#include <stdexcept>

#include "control_commands.h"

namespace VelkStandin {

namespace {

// Short enough that a test's command takes effect without a noticeable wait.
constexpr int tickMilliseconds = 20;

}  // namespace

ControlTimer::ControlTimer(DBus::BusDispatcher& dispatcher_, DBus::Connection& bus_, ManagerService& service_,
                           const NoticeLog& notices_, const std::string& controlPath,
                           const volatile std::sig_atomic_t& stopRequested_)
    : dispatcher(dispatcher_),
      bus(bus_),
      service(service_),
      notices(notices_),
      fifo(controlPath.empty() ? nullptr : std::make_unique<ControlFifo>(controlPath)),
      stopRequested(stopRequested_),
      timer(tickMilliseconds, true, &dispatcher_) {
    timer.expired =
        new DBus::Callback<ControlTimer, void, DBus::DefaultTimeout&>(this, &ControlTimer::onExpired);
}

void ControlTimer::onExpired(DBus::DefaultTimeout&) {
    bool running = stopRequested == 0;
    if (fifo) {
        for (const auto& line : fifo->readLines()) {
            running = runLine(line) && running;
        }
    }
    // Signals only queue their messages; the driver expects them sent when
    // the command is acknowledged.
    bus.flush();
    if (!running) {
        dispatcher.leave();
    }
}

bool ControlTimer::runLine(const std::string& line) {
    try {
        const CommandResult result = runCommand(service, line);
        notices.record("control " + line);
        return result != CommandResult::Quit;
    } catch (const std::invalid_argument& error) {
        std::cerr << "control command rejected: `" << line << "': " << error.what() << "\n";
        notices.record("control-rejected " + line);
        return true;
    }
}

}  // namespace VelkStandin
