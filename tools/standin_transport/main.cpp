// The stand-in RDP transport: started by the proxy like the real transport,
// it listens on the IPC socket, accepts the proxy's connection and echoes,
// drops or sends bytes, recording what it got for the tests to check.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <iostream>

#include "byte_pump.h"
#include "connection_request.h"
#include "record_file.h"
#include "stop_signals.h"
#include "transport_options.h"
#include "unix_listener.h"

namespace {

using namespace VelkStandin;

int stopped(const RecordFile& record, int signalNumber) {
    record.write("stopped by signal " + std::to_string(signalNumber));
    return 0;
}

std::string hex64(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof(text), "%016" PRIx64, value);
    return text;
}

// Returns the signal that ended the connection's service, 0 when the peer was done.
int serveConnection(int connection, int stopFd, const TransportOptions& options, const RecordFile& record) {
    if (const int stop = takeConnectionRequest(connection, stopFd, options.answerRequest)) {
        return stop;
    }
    record.write("request");
    const PumpResult result = BytePump(connection, stopFd, options.mode, options.sourceBytes).run();
    record.write("received " + std::to_string(result.received.bytes()) + " " +
                 hex64(result.received.value()));
    record.write("sent " + std::to_string(result.sent));
    return result.stopSignal;
}

int serve(const TransportOptions& options, const RecordFile& record, int stopFd) {
    if (!options.createSocket) {
        return stopped(record, waitForStopSignal(stopFd));
    }
    const int listenFd = listenUnix(options.socketPath);
    record.write("listening");
    int connection = -1;
    try {
        connection = acceptConnection(listenFd, stopFd);
    } catch (...) {
        close(listenFd);
        throw;
    }
    // One connection only, as the proxy opens one per transport.
    close(listenFd);
    if (connection < 0) {
        return stopped(record, readStopSignal(stopFd));
    }
    record.write("accepted");
    if (options.exitAfterAccept) {
        close(connection);
        return 0;
    }
    int signalNumber = 0;
    try {
        signalNumber = serveConnection(connection, stopFd, options, record);
    } catch (...) {
        close(connection);
        throw;
    }
    close(connection);
    return stopped(record, signalNumber != 0 ? signalNumber : waitForStopSignal(stopFd));
}

int run(const TransportOptions& options, int argc, const char* const* argv) {
    const RecordFile record(options.recordPath);
    record.writeStart(argc, argv, environ);
    const int stopFd = openStopSignals(options.ignoreTerm);
    try {
        const int status = serve(options, record, stopFd);
        close(stopFd);
        return status;
    } catch (...) {
        close(stopFd);
        throw;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseTransportOptions(argc, argv, std::cerr);
    if (!options) {
        writeTransportUsage(argv[0], std::cerr);
        return 2;
    }
    if (options->helpRequested) {
        writeTransportUsage(argv[0], std::cout);
        return 0;
    }
    try {
        return run(*options, argc, argv);
    } catch (const std::exception& error) {
        std::cerr << argv[0] << ": " << error.what() << "\n";
        return 1;
    }
}
