// A session's start and end in the journal: besides their lines, records
// that carry the session's facts in fields of their own and a MESSAGE_ID per
// kind, so that an administrator selects a session, a client or an end
// reason without reading the text:
//   journalctl MESSAGE_ID=717a42e6d6f34be7afe8f503ba5f991d VELK_END_REASON=client
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace Velk {

inline constexpr const char* sessionStartedId = "64b22d68a1354a1bbb1caed7cc257e7c";
inline constexpr const char* sessionEndedId = "717a42e6d6f34be7afe8f503ba5f991d";

// Who ended a session.
enum class SessionEnd { Proxy, Client, Transport, NoAnswer };

// What a session is from its start.
struct SessionFacts {
    uint32_t sessionId = 0;
    std::string user;
    std::string clientAddress;
    uint16_t clientPort = 0;
    pid_t transportPid = -1;
};

// What it came to.
struct SessionTotals {
    double seconds = 0;
    uint64_t bytesFromClient = 0;
    uint64_t bytesToClient = 0;
    SessionEnd end = SessionEnd::Proxy;
};

void logSessionStarted(const SessionFacts& facts);
void logSessionEnded(const SessionFacts& facts, const SessionTotals& totals);

// The session's line without its end: for the end and for a report.
std::string describeSession(const SessionFacts& facts, const SessionTotals& totals);

}  // namespace Velk
