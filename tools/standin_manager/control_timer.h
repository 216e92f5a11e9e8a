// The stand-in manager's own work besides answering calls: control commands
// and the stop request. It runs from a repeating timer of the bus dispatcher,
// so every signal is sent on the dispatcher's thread, never beside it.
#pragma once

#include <csignal>
#include <memory>
#include <string>

#include "control_fifo.h"
#include "manager_service.h"
#include "notice_log.h"

namespace VelkStandin {

class ControlTimer {
public:
    // An empty control path gives a timer that only watches the stop request.
    ControlTimer(DBus::BusDispatcher& dispatcher, DBus::Connection& bus, ManagerService& service,
                 const NoticeLog& notices, const std::string& controlPath,
                 const volatile std::sig_atomic_t& stopRequested);

private:
    void onExpired(DBus::DefaultTimeout& timeout);
    // Records the line as done or rejected; returns false after "quit".
    bool runLine(const std::string& line);

    DBus::BusDispatcher& dispatcher;
    DBus::Connection& bus;
    ManagerService& service;
    const NoticeLog& notices;
    std::unique_ptr<ControlFifo> fifo;
    const volatile std::sig_atomic_t& stopRequested;
    DBus::DefaultTimeout timer;
};

}  // namespace VelkStandin
