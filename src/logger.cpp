// Routing of log messages by the process-wide level: journal records with fixed
// source fields per level, or time-stamped lines on standard error.
#include "logger.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace Velk {

namespace {

constexpr const char* levelVariable = "VELK_LOG_LEVEL";

std::optional<DebugLevel> levelOfName(std::string_view name) {
    if (name == "debug") {
        return DebugLevel::Debug;
    }
    if (name == "trace") {
        return DebugLevel::Trace;
    }
    if (name == "info") {
        return DebugLevel::Info;
    }
    if (name == "none") {
        return DebugLevel::None;
    }
    return std::nullopt;
}

// The operator's level holds from the first message on, before the program
// gets to choose its own.
int32_t initialLevel() {
    const char* name = std::getenv(levelVariable);
    const std::optional<DebugLevel> chosen = name ? levelOfName(name) : std::nullopt;
    return static_cast<int32_t>(chosen.value_or(DebugLevel::Info));
}

}  // namespace

std::atomic<int32_t> Syslog::level{initialLevel()};

namespace {

constexpr const char* buildStamp = "202507220750";

constexpr const char* codeFile = "CODE_FILE=" VELK_LOGGER_HEADER;

enum class Sink { Nowhere, Journal, Console };

// error, warning and notice pass at every level but Quiet.
Sink importantSink(int32_t level) {
    if (level == static_cast<int32_t>(DebugLevel::Console)) {
        return Sink::Console;
    }
    return level == static_cast<int32_t>(DebugLevel::Quiet) ? Sink::Nowhere : Sink::Journal;
}

// info passes at the info level too, debug only at debug and trace.
Sink detailSink(int32_t level, bool passesAtInfo) {
    switch (static_cast<DebugLevel>(level)) {
        case DebugLevel::Debug:
        case DebugLevel::Trace:
            return Sink::Journal;
        case DebugLevel::Info:
            return passesAtInfo ? Sink::Journal : Sink::Nowhere;
        case DebugLevel::Console:
            return Sink::Console;
        default:
            return Sink::Nowhere;
    }
}

Sink infoSink(int32_t level) {
    return detailSink(level, true);
}

Sink debugSink(int32_t level) {
    return detailSink(level, false);
}

struct Route {
    int priority;
    const char* codeLine;
    const char* codeFunc;
};

constexpr Route errorRoute{LOG_ERR, "CODE_LINE=124", "error"};
constexpr Route warningRoute{LOG_WARNING, "CODE_LINE=107", "warning"};
constexpr Route noticeRoute{LOG_NOTICE, "CODE_LINE=90", "notice"};
constexpr Route infoRoute{LOG_INFO, "CODE_LINE=69", "info"};
constexpr Route debugRoute{LOG_DEBUG, "CODE_LINE=53", "debug"};

enum class Journal : int { Unknown, Listening, Absent };

// Looked at once and kept until the level is set again: a message costs no
// extra system call.  Without journald, sd_journal_print fails silently, and a
// kiosk in a container would say nothing at all.
std::atomic<Journal> journal{Journal::Unknown};

bool journalListens() {
    Journal state = journal.load(std::memory_order_relaxed);
    if (state == Journal::Unknown) {
        struct stat socket {};
        const bool present = stat("/run/systemd/journal/socket", &socket) == 0 && S_ISSOCK(socket.st_mode);
        state = present ? Journal::Listening : Journal::Absent;
        journal.store(state, std::memory_order_relaxed);
    }
    return state == Journal::Listening;
}

// The local time as the console prefix shows it: "[%x %X]\t".
std::string consoleTimePrefix() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[80] = {};
    // The locale's short date is the console format's, two-digit year and all.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
    const size_t length = std::strftime(buffer, sizeof(buffer) - 1, "[%x %X]\t", &local);
#pragma GCC diagnostic pop
    return std::string(buffer, length);
}

void writeWhole(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        done += static_cast<size_t>(written);
    }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// The format was checked at the caller through the level operation's attribute.
std::string formatted(const char* format, va_list args) {
    va_list measuring;
    va_copy(measuring, args);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.pop_back();
    return text;
}
#pragma GCC diagnostic pop

// One line, one write: the threads of a process and the children it forks
// share standard error, and a line written in pieces would be cut by theirs.
void writeConsoleLine(const char* format, va_list args) {
    std::string line = consoleTimePrefix();
    line.append(formatted(format, args)).push_back('\n');
    writeWhole(STDERR_FILENO, line);
}

void write(Sink sink, const Route& route, const char* format, va_list args) {
    if (sink == Sink::Journal && !journalListens()) {
        sink = Sink::Console;
    }
    if (sink == Sink::Journal) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        sd_journal_printv_with_location(route.priority, codeFile, route.codeLine, route.codeFunc, format,
                                        args);
#pragma GCC diagnostic pop
    } else if (sink == Sink::Console) {
        writeConsoleLine(format, args);
    }
}
}  // namespace

#define VELK_LOG_OPERATION(name, sinkOf, route)                          \
    void Syslog::name(const char* format, ...) {                         \
        const Sink sink = sinkOf(level.load(std::memory_order_relaxed)); \
        if (sink == Sink::Nowhere) {                                     \
            return;                                                      \
        }                                                                \
        va_list args;                                                    \
        va_start(args, format);                                          \
        write(sink, route, format, args);                                \
        va_end(args);                                                    \
    }

VELK_LOG_OPERATION(error, importantSink, errorRoute)
VELK_LOG_OPERATION(warning, importantSink, warningRoute)
VELK_LOG_OPERATION(notice, importantSink, noticeRoute)
VELK_LOG_OPERATION(info, infoSink, infoRoute)
VELK_LOG_OPERATION(debug, debugSink, debugRoute)

#undef VELK_LOG_OPERATION

namespace {

// The record's fields in the journal's native form, the fixed source fields
// of a notice among them.
void sendRecord(const char* messageId, const std::vector<JournalField>& fields, const std::string& message) {
    std::vector<std::string> lines = {"MESSAGE=" + message,
                                      "PRIORITY=" + std::to_string(noticeRoute.priority),
                                      std::string("MESSAGE_ID=") + messageId,
                                      codeFile,
                                      noticeRoute.codeLine,
                                      std::string("CODE_FUNC=") + noticeRoute.codeFunc};
    for (const auto& field : fields) {
        lines.push_back(std::string(field.name) + "=" + field.value);
    }
    std::vector<iovec> parts;
    parts.reserve(lines.size());
    for (auto& line : lines) {
        parts.push_back({line.data(), line.size()});
    }
    sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
}

}  // namespace

void Syslog::noticeRecord(const char* messageId, const std::vector<JournalField>& fields, const char* format,
                          ...) {
    const Sink sink = importantSink(level.load(std::memory_order_relaxed));
    if (sink == Sink::Nowhere) {
        return;
    }
    va_list args;
    va_start(args, format);
    if (sink == Sink::Journal && journalListens()) {
        sendRecord(messageId, fields, formatted(format, args));
    } else {
        writeConsoleLine(format, args);
    }
    va_end(args);
}

void Syslog::setDebugLevel(DebugLevel value) {
    level.store(static_cast<int32_t>(value), std::memory_order_relaxed);
    // A journal started or stopped since (a private one in a test) counts.
    journal.store(Journal::Unknown, std::memory_order_relaxed);
}

void Syslog::setDebugLevel(std::string_view name) {
    const std::optional<std::string> pinned = levelFromEnvironment();
    const std::string asked(name);
    const std::string text = pinned.value_or(asked);
    if (text == asked) {
        info("%s: level: %s", "setDebugLevel", text.c_str());
    } else {
        info("%s: level: %s, from %s instead of: %s", "setDebugLevel", text.c_str(), levelVariable,
             asked.c_str());
    }
    if (const char* unknown = std::getenv(levelVariable); unknown && *unknown && !pinned) {
        error("%s: unknown level in %s: %s", "setDebugLevel", levelVariable, unknown);
    }

    if (const std::optional<DebugLevel> value = levelOfName(text)) {
        setDebugLevel(*value);
    } else {
        error("%s: unknown level: %s", "setDebugLevel", text.c_str());
    }
}

std::optional<std::string> Syslog::levelFromEnvironment() {
    const char* name = std::getenv(levelVariable);
    if (!name || !levelOfName(name)) {
        return std::nullopt;
    }
    return std::string(name);
}

int Syslog::debugLevel() {
    return level.load(std::memory_order_relaxed);
}

bool Syslog::isDebugLevel(DebugLevel value) {
    return level.load(std::memory_order_relaxed) == static_cast<int32_t>(value);
}

bool Syslog::isTraceMode() {
    return isDebugLevel(DebugLevel::Trace);
}

int notifyLevel(int value) {
    return value == 1 || value == 2 ? value : 0;
}

std::string productVersion(std::string_view name) {
    std::string banner("VELK ");
    banner.append(name)
        .append(" v.")
        .append(productVersionNumber())
        .append(" build(")
        .append(buildStamp)
        .append(")");
    return banner;
}

std::string productVersionNumber() {
    return VELK_VERSION;
}

}  // namespace Velk
