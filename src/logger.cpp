// Routing of log messages by the process-wide level: journal records with fixed
// source fields per level, or time-stamped lines on standard error.
#include "logger.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <ctime>

namespace Velk {

std::atomic<int32_t> Syslog::level{static_cast<int32_t>(DebugLevel::Info)};

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

Sink infoSink(int32_t level) {
    switch (static_cast<DebugLevel>(level)) {
        case DebugLevel::Debug:
        case DebugLevel::Info:
        case DebugLevel::Trace:
            return Sink::Journal;
        case DebugLevel::Console:
            return Sink::Console;
        default:
            return Sink::Nowhere;
    }
}

Sink debugSink(int32_t level) {
    switch (static_cast<DebugLevel>(level)) {
        case DebugLevel::Debug:
        case DebugLevel::Trace:
            return Sink::Journal;
        case DebugLevel::Console:
            return Sink::Console;
        default:
            return Sink::Nowhere;
    }
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

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// The format was checked at the caller through the level operation's attribute.
void write(Sink sink, const Route& route, const char* format, va_list args) {
    if (sink == Sink::Journal) {
        sd_journal_printv_with_location(route.priority, codeFile, route.codeLine, route.codeFunc, format,
                                        args);
    } else if (sink == Sink::Console) {
        Syslog::fprintf_time(stderr, "[%x %X]\t");
        vfprintf(stderr, format, args);
        fputc('\n', stderr);
    }
}
#pragma GCC diagnostic pop

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

void Syslog::setDebugLevel(DebugLevel value) {
    level.store(static_cast<int32_t>(value), std::memory_order_relaxed);
}

void Syslog::setDebugLevel(std::string_view name) {
    const std::string text(name);
    info("%s: level: %s", "setDebugLevel", text.c_str());

    if (name == "debug") {
        setDebugLevel(DebugLevel::Debug);
    } else if (name == "trace") {
        setDebugLevel(DebugLevel::Trace);
    } else if (name == "info") {
        setDebugLevel(DebugLevel::Info);
    } else if (name == "none") {
        setDebugLevel(DebugLevel::None);
    } else {
        error("%s: unknown level: %s", "setDebugLevel", text.c_str());
    }
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

void Syslog::fprintf_time(FILE* stream, const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);

    char buffer[80] = {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::strftime(buffer, sizeof(buffer) - 1, format, &local);
#pragma GCC diagnostic pop
    std::fputs(buffer, stream);
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
