// See session_record.h. The lines keep the words administrators already
// search for; the fields are for selecting.
#include "proxy/session_record.h"

#include <cstdio>
#include <vector>

#include "logger.h"

namespace Velk {

namespace {

// The line's words, and the field's value.
const char* endText(SessionEnd end) {
    switch (end) {
        case SessionEnd::Client:
            return "client";
        case SessionEnd::Transport:
            return "transport";
        case SessionEnd::NoAnswer:
            return "transport, no answer to the client's request in time";
        case SessionEnd::Proxy:
            break;
    }
    return "proxy";
}

const char* endReason(SessionEnd end) {
    return end == SessionEnd::NoAnswer ? "no-answer" : endText(end);
}

std::vector<JournalField> startFields(const SessionFacts& facts) {
    return {{"VELK_SESSION_ID", std::to_string(facts.sessionId)},
            {"VELK_USER", facts.user},
            {"VELK_CLIENT_ADDRESS", facts.clientAddress},
            {"VELK_CLIENT_PORT", std::to_string(facts.clientPort)},
            {"VELK_TRANSPORT_PID", std::to_string(facts.transportPid)}};
}

}  // namespace

void logSessionStarted(const SessionFacts& facts) {
    Syslog::noticeRecord(
        sessionStartedId, startFields(facts),
        "%s: session started, session id: %u, remote addr: `%s', port: %u, transport pid: %d",
        "actionCreateTransport", facts.sessionId, facts.clientAddress.c_str(),
        static_cast<unsigned>(facts.clientPort), facts.transportPid);
}

void logSessionEnded(const SessionFacts& facts, const SessionTotals& totals) {
    std::vector<JournalField> fields = startFields(facts);
    char duration[32] = {};
    std::snprintf(duration, sizeof(duration), "%.1f", totals.seconds);
    fields.push_back({"VELK_DURATION_S", duration});
    fields.push_back({"VELK_BYTES_FROM_CLIENT", std::to_string(totals.bytesFromClient)});
    fields.push_back({"VELK_BYTES_TO_CLIENT", std::to_string(totals.bytesToClient)});
    fields.push_back({"VELK_END_REASON", endReason(totals.end)});
    Syslog::noticeRecord(sessionEndedId, fields, "%s: session ended, %s, ended by: %s", "JobTransfer",
                         describeSession(facts, totals).c_str(), endText(totals.end));
}

std::string describeSession(const SessionFacts& facts, const SessionTotals& totals) {
    char line[256] = {};
    std::snprintf(
        line, sizeof(line),
        "session id: %u, remote addr: `%s', transport pid: %d, duration: %.1f s, bytes from client: %llu, "
        "bytes to client: %llu",
        facts.sessionId, facts.clientAddress.c_str(), facts.transportPid, totals.seconds,
        static_cast<unsigned long long>(totals.bytesFromClient),
        static_cast<unsigned long long>(totals.bytesToClient));
    return line;
}

}  // namespace Velk
