// Serves the one accepted connection of the stand-in transport: echoes,
// drops or sends bytes with one poll loop, so that neither direction ever
// waits for the other, until the peer is done or a stop signal arrives.
#pragma once

#include <cstdint>
#include <vector>

#include "standin_bytes.h"
#include "transport_options.h"

namespace VelkStandin {

struct PumpResult {
    StreamChecksum received;
    uint64_t sent = 0;
    int stopSignal = 0;  // the signal that ended the pump, 0 when the peer was done
};

class BytePump {
public:
    // connection becomes non-blocking; stopFd is a signalfd.
    BytePump(int connection, int stopFd, DataMode mode, uint64_t sourceBytes);

    PumpResult run();

private:
    bool finished() const;
    bool outputFinished() const;
    short wantedEvents() const;
    void readInput();
    void writeOutput();
    void refillSource();
    void closeOutput();

    int connection;
    int stopFd;
    DataMode mode;
    uint64_t sourceBytes;
    uint64_t generated = 0;
    // Bytes waiting to be sent: [head, tail) of outgoing.
    std::vector<uint8_t> outgoing;
    size_t head = 0;
    size_t tail = 0;
    std::vector<uint8_t> incoming;
    bool inputOpen = true;
    bool outputOpen = true;
    PumpResult result;
};

}  // namespace VelkStandin
