// Parses the stand-in transport's command line; see transport_options.h.
#include "transport_options.h"

#include <charconv>

namespace VelkStandin {

namespace {

constexpr std::string_view socketPrefix = "/ipc-socket:";
constexpr std::string_view recordPrefix = "/standin-record:";
constexpr std::string_view modePrefix = "/standin:";
constexpr std::string_view sourcePrefix = "source:";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool parseByteCount(std::string_view text, uint64_t& count) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

bool applyMode(std::string_view mode, TransportOptions& options) {
    if (mode == "echo") {
        options.mode = DataMode::Echo;
    } else if (mode == "sink") {
        options.mode = DataMode::Sink;
    } else if (startsWith(mode, sourcePrefix)) {
        options.mode = DataMode::Source;
        return parseByteCount(mode.substr(sourcePrefix.size()), options.sourceBytes);
    } else if (mode == "ignore-term") {
        options.ignoreTerm = true;
    } else if (mode == "no-socket") {
        options.createSocket = false;
    } else if (mode == "exit-after-accept") {
        options.exitAfterAccept = true;
    } else if (mode == "no-answer") {
        options.answerRequest = false;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::optional<TransportOptions> parseTransportOptions(int argc, const char* const* argv, std::ostream& err) {
    TransportOptions options;
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument == "--help") {
            options.helpRequested = true;
        } else if (startsWith(argument, socketPrefix)) {
            options.socketPath = argument.substr(socketPrefix.size());
        } else if (startsWith(argument, recordPrefix)) {
            options.recordPath = argument.substr(recordPrefix.size());
        } else if (startsWith(argument, modePrefix) &&
                   !applyMode(argument.substr(modePrefix.size()), options)) {
            err << argv[0] << ": unknown mode `" << argument << "'\n";
            return std::nullopt;
        }
    }
    if (options.createSocket && options.socketPath.empty() && !options.helpRequested) {
        err << argv[0] << ": no socket path, `" << socketPrefix << "<path>' is needed\n";
        return std::nullopt;
    }
    return options;
}

void writeTransportUsage(const char* program, std::ostream& out) {
    out << "usage: " << program
        << " /ipc-socket:PATH [/standin:MODE...] [/standin-record:FILE] [other arguments]\n"
           "\n"
           "Stands in for the RDP transport: listens on the unix socket PATH, accepts one\n"
           "connection, takes the client's connection request (one TPKT packet) and answers\n"
           "it with a connection confirm, then serves the connection by MODE; ends on\n"
           "SIGTERM or SIGINT. Other arguments (\"-auth\", \"/port:0\", \"+sec-tls\", ...) are\n"
           "accepted and ignored.\n"
           "\n"
           "  /standin:echo               send back every byte received (default)\n"
           "  /standin:sink               read and drop every byte\n"
           "  /standin:source:BYTES       send BYTES bytes of the test pattern, then close the\n"
           "                              sending side; what arrives is dropped\n"
           "  /standin:ignore-term        ignore SIGTERM (combines with the modes above)\n"
           "  /standin:no-socket          never create the socket\n"
           "  /standin:exit-after-accept  exit as soon as the connection is accepted\n"
           "  /standin:no-answer          take the connection request without answering it\n"
           "  /standin-record:FILE        write to FILE \"argv ARG\" and \"env NAME=VALUE\" lines,\n"
           "                              then \"listening\", \"accepted\", \"request\", \"received COUNT "
           "FNV1A64\"\n"
           "                              (16 hex digits), \"sent COUNT\" and \"stopped by signal N\"\n"
           "                              as they happen\n";
}

}  // namespace VelkStandin
