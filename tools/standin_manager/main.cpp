// The stand-in session manager: owns the manager's name on the system bus (a
// private one in tests and the demo) and keeps the manager's contract, so the
// session proxy can be tested and shown without the real service.
#include <dbus/dbus.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "control_timer.h"
#include "manager_options.h"
#include "manager_service.h"
#include "notice_log.h"

namespace {

using namespace VelkStandin;

constexpr const char* busName = "ru.tavio.velk";

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

// Asked directly of the bus, as dbus-c++ does not tell whether the name
// was granted or is held by another connection.
bool ownBusName(DBus::Connection& bus) {
    DBus::CallMessage call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "RequestName");
    DBus::MessageIter arguments = call.writer();
    arguments << std::string(busName) << uint32_t{DBUS_NAME_FLAG_DO_NOT_QUEUE};
    const DBus::Message reply = bus.send_blocking(call);
    uint32_t result = 0;
    DBus::MessageIter replyArguments = reply.reader();
    replyArguments >> result;
    return result == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
}

// Written aside and renamed, so a reader never sees a half-written file.
void announceReady(const std::string& path) {
    if (path.empty()) {
        return;
    }
    const std::string aside = path + ".part";
    std::ofstream(aside) << getpid() << "\n";
    if (std::rename(aside.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("cannot write the ready file " + path);
    }
}

int run(const ManagerOptions& options) {
    DBus::BusDispatcher dispatcher;
    DBus::default_dispatcher = &dispatcher;
    DBus::Connection bus = DBus::Connection::SystemBus();
    const NoticeLog notices(options.noticesPath);
    ManagerService service(bus, options.sessionInfoPath, options.testReply, options.password, notices);
    const ControlTimer control(dispatcher, bus, service, notices, options.controlPath, stopRequested);
    if (!ownBusName(bus)) {
        std::cerr << "the name " << busName << " is owned by another connection\n";
        return 1;
    }
    announceReady(options.readyPath);
    dispatcher.enter();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseManagerOptions(argc, argv, std::cerr);
    if (!options) {
        writeManagerUsage(argv[0], std::cerr);
        return 2;
    }
    if (options->helpRequested) {
        writeManagerUsage(argv[0], std::cout);
        return 0;
    }
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);
    try {
        return run(*options);
    } catch (const DBus::Error& error) {
        std::cerr << "dbus error: " << error.name() << ": " << error.message() << "\n";
    } catch (const std::exception& error) {
        std::cerr << "error: " << error.what() << "\n";
    }
    return 1;
}
