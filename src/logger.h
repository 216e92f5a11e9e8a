// Process-wide logging for both programs: one level decides whether a message
// goes to the systemd journal, to standard error or nowhere. Also the system's
// exception type and the version banner.
//
// Where no journal listens (no /run/systemd/journal/socket: a container, a
// test), what would go to the journal goes to standard error in the console
// format instead.  The environment variable VELK_LOG_LEVEL ("none", "debug",
// "info" or "trace") sets the level from the start and wins over every later
// choice by name: an operator's setting beats the program's own.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Velk {

enum class DebugLevel : int32_t { None = 0, Debug = 1, Info = 2, Quiet = 3, Console = 4, Trace = 5 };

// A field of a journal record beside its message, as "NAME=value".
struct JournalField {
    const char* name;
    std::string value;
};

// Thrown by the system's own failures; the message is the name of the
// throwing function, the details were logged before the throw.
class velk_error : public std::runtime_error {
public:
    explicit velk_error(const std::string& func) : std::runtime_error(func) {}
};

// Every operation but the constructor is static: no object is needed to log.
// The level operations take a printf format whose first conversion is the
// calling function's name ("%s: ...").  They are checked printf-style
// functions so that a format that does not match its arguments fails the build.
class Syslog {
public:
    explicit Syslog(const char* tag) : programTag(tag ? tag : "") {}
    virtual ~Syslog() = default;

    Syslog(const Syslog&) = default;
    Syslog& operator=(const Syslog&) = default;

    // Sets the level as given (VELK_LOG_LEVEL does not apply) and looks
    // again whether the journal listens.
    static void setDebugLevel(DebugLevel value);
    // Accepts "debug", "trace", "info" and "none"; anything else is logged and
    // ignored.  While VELK_LOG_LEVEL names a level, that level is set instead
    // of the given one, so a program's own choice (the kiosk's "debug", the
    // proxy's configuration and its reloads) never overrides the operator's.
    static void setDebugLevel(std::string_view name);
    // The level name VELK_LOG_LEVEL holds when it is one that setDebugLevel
    // accepts; nothing when it is unset or holds anything else.
    static std::optional<std::string> levelFromEnvironment();
    static int debugLevel();
    static bool isDebugLevel(DebugLevel value);
    static bool isTraceMode();

    // Called in every freshly forked child; the journal needs no reopening.
    static void syslogChildOpen() {}

    static void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void notice(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void info(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // A notice that the journal keeps with fields of its own and its kind's
    // MESSAGE_ID (32 hex digits), so that it can be selected by them
    // (journalctl MESSAGE_ID=... VELK_SESSION_ID=7); on standard error the
    // message alone.
    static void noticeRecord(const char* messageId, const std::vector<JournalField>& fields,
                             const char* format, ...) __attribute__((format(printf, 3, 4)));

    const std::string& tag() const { return programTag; }

    // Read by every message without a lock; a message racing a level change
    // (the proxy's configuration reload) may be judged by either value.
    static std::atomic<int32_t> level;

private:
    std::string programTag;
};

// 1 for 1, 2 for 2, 0 for anything else.
int notifyLevel(int value);

// "VELK <name> v.2.2.0 build(202507220750)"
std::string productVersion(std::string_view name);
// The version of the build, the package's: "2.2.0".
std::string productVersionNumber();

}  // namespace Velk
