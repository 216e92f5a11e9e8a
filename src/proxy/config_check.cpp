// See config_check.h. Times may not be negative, ports lie between 1 and
// 65535, and the keep-alive values are ones the kernel takes.
#include "proxy/config_check.h"

namespace Velk {

namespace {

constexpr int maxInt = 2147483647;

JsonKnownKey integer(const char* name, int min, int max = maxInt) {
    return JsonKnownKey{name, JsonKind::Integer, min, max, {}};
}

JsonKnownKey ofKind(const char* name, JsonKind kind) {
    return JsonKnownKey{name, kind, std::nullopt, std::nullopt, {}};
}

}  // namespace

const std::vector<JsonKnownKey>& proxyConfigKeys() {
    static const std::vector<JsonKnownKey> keys = {
        JsonKnownKey{
            "debug:level", JsonKind::String, std::nullopt, std::nullopt, {"none", "debug", "info", "trace"}},
        integer("listen:timeout", 0),
        ofKind("listen:addr", JsonKind::String),
        integer("listen:port", 1, 65535),
        integer("listen:first-bytes-timeout", 1),
        integer("listen:handshake-timeout", 1),
        ofKind("listen:hold-port", JsonKind::Boolean),
        integer("listen:max-sessions", 1),
        ofKind("tcp:keepalive:enable", JsonKind::Boolean),
        integer("tcp:keepalive:delay", 1, 32767),
        integer("tcp:keepalive:retries", 1, 127),
        integer("tcp:keepalive:interval", 1, 32767),
        ofKind("x11rdp:path", JsonKind::String),
        ofKind("x11rdp:args", JsonKind::StringList),
        ofKind("kerberos:keytab", JsonKind::String),
        ofKind("kerberos:realm", JsonKind::String),
        ofKind("check:domain", JsonKind::Boolean),
        ofKind("transport:shm", JsonKind::Boolean),
        integer("transport:fps", 0),
        ofKind("transport:debug", JsonKind::Boolean),
    };
    return keys;
}

std::vector<std::string> checkProxyConfig(const std::string& path) {
    const JsonDocument document = JsonDocument::fromFile(path);
    std::vector<JsonProblem> problems = document.problems();
    if (problems.empty()) {
        problems = document.checkObject(document.root(), proxyConfigKeys());
    }
    std::vector<std::string> lines;
    lines.reserve(problems.size());
    for (const auto& problem : problems) {
        lines.push_back(formatJsonProblem(path, problem));
    }
    return lines;
}

}  // namespace Velk
