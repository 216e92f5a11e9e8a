// Command line of the stand-in transport. It takes the transport's own
// arguments, of which it only understands "/ipc-socket:<path>", and its own
// "/standin:" modes that decide what it does with the proxy's connection.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace VelkStandin {

enum class DataMode { Echo, Sink, Source };

struct TransportOptions {
    std::string socketPath;
    std::string recordPath;  // empty: nothing is recorded
    DataMode mode = DataMode::Echo;
    uint64_t sourceBytes = 0;  // with DataMode::Source
    bool ignoreTerm = false;
    bool createSocket = true;
    bool exitAfterAccept = false;
    bool answerRequest = true;
    bool helpRequested = false;
};

// Returns nullopt after writing the reason to err when a "/standin" argument
// is wrong or the socket path is missing; unknown arguments are ignored.
std::optional<TransportOptions> parseTransportOptions(int argc, const char* const* argv, std::ostream& err);

void writeTransportUsage(const char* program, std::ostream& out);

}  // namespace VelkStandin
