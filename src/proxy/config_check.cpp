// See config_check.h. Times may not be negative, ports lie between 1 and
// 65535, the keep-alive values are ones the kernel takes, alone and
// together; the listen address can be bound, the argument templates hold
// only placeholders the proxy fills in, and the transport can be run.
#include "proxy/config_check.h"

#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "proxy/transport_command.h"
#include "utils/sockets.h"

namespace Velk {

namespace {

constexpr int maxInt = 2147483647;
// TCP_USER_TIMEOUT takes milliseconds in an int.
constexpr long long longestUserTimeoutSeconds = maxInt / 1000;

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

namespace {

// A value of the right kind that the proxy still could not use.
class ValueCheck {
public:
    ValueCheck(const JsonDocument& file, std::vector<JsonProblem>& found)
        : document(file), root(file.root()), problems(found) {}

    void run() {
        listenAddress();
        placeholders();
        transportProgram();
        keepAliveTotal();
    }

private:
    bool isText(const char* key) const { return root.isMember(key) && root[key].isString(); }
    void add(const char* key, const std::string& message) {
        problems.push_back(
            document.problemAt(root[key], JsonProblemKind::OutOfRange, key + (": " + message)));
    }

    void listenAddress() {
        if (isText("listen:addr") && !Socket::isListenAddressText(root["listen:addr"].asString())) {
            add("listen:addr", "neither an IP address nor a host name: " + root["listen:addr"].asString());
        }
    }

    void placeholders() {
        const Json::Value& args = root["x11rdp:args"];
        for (Json::ArrayIndex index = 0; args.isArray() && index < args.size(); ++index) {
            const std::string arg = args[index].isString() ? args[index].asString() : std::string();
            for (size_t open = arg.find("%{"); open != std::string::npos; open = arg.find("%{", open + 2)) {
                const std::string name = arg.substr(open, arg.find('}', open) + 1 - open);
                const auto& known = argumentPlaceholders();
                if (std::find(known.begin(), known.end(), name) == known.end()) {
                    problems.push_back(document.problemAt(args[index], JsonProblemKind::OutOfRange,
                                                          "x11rdp:args: unknown placeholder " + name));
                }
            }
        }
    }

    void transportProgram() {
        if (root.isMember("x11rdp:path") && !isText("x11rdp:path")) {
            return;
        }
        const std::string configured = configuredTransportProgram(JsonConfig(root));
        if (root.isMember("x11rdp:path")) {
            if (access(configured.c_str(), X_OK) != 0) {
                add("x11rdp:path", "no program that can be run: " + configured);
            }
            return;
        }
        const auto& candidates = fallbackTransportPrograms();
        if (access(configured.c_str(), X_OK) != 0 &&
            std::none_of(candidates.begin(), candidates.end(),
                         [](const std::string& program) { return access(program.c_str(), X_OK) == 0; })) {
            problems.push_back(
                {JsonProblemKind::OutOfRange, 0, 0, "no RDP transport is installed, set x11rdp:path"});
        }
    }

    // Together, too, they must fit the user time-out the proxy derives.
    void keepAliveTotal() {
        const char* keys[] = {"tcp:keepalive:delay", "tcp:keepalive:retries", "tcp:keepalive:interval"};
        long long values[] = {5, 3, 2};
        const char* last = nullptr;
        for (size_t index = 0; index < std::size(keys); ++index) {
            if (root.isMember(keys[index])) {
                if (!root[keys[index]].isInt()) {
                    return;
                }
                values[index] = root[keys[index]].asInt();
                last = keys[index];
            }
        }
        const long long total = values[0] + values[1] * values[2];
        const bool enabled = !root["tcp:keepalive:enable"].isBool() || root["tcp:keepalive:enable"].asBool();
        if (enabled && last && total > longestUserTimeoutSeconds) {
            add(last, "delay + retries x interval is " + std::to_string(total) + " s, more than the " +
                          std::to_string(longestUserTimeoutSeconds) + " s the user time-out takes");
        }
    }

    const JsonDocument& document;
    const Json::Value& root;
    std::vector<JsonProblem>& problems;
};

}  // namespace

std::vector<std::string> checkProxyConfig(const std::string& path) {
    const JsonDocument document = JsonDocument::fromFile(path);
    std::vector<JsonProblem> problems = document.problems();
    if (problems.empty()) {
        problems = document.checkObject(document.root(), proxyConfigKeys());
    }
    if (document.problems().empty() && document.root().isObject()) {
        ValueCheck(document, problems).run();
        std::stable_sort(problems.begin(), problems.end(), [](const JsonProblem& a, const JsonProblem& b) {
            return std::tie(a.line, a.column) < std::tie(b.line, b.column);
        });
    }
    std::vector<std::string> lines;
    lines.reserve(problems.size());
    for (const auto& problem : problems) {
        lines.push_back(formatJsonProblem(path, problem));
    }
    return lines;
}

}  // namespace Velk
