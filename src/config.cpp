// JSON configuration on jsoncpp: strict file reading, the JsonConfig getters
// and the extraction operators.
#include "config.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>
#include <tuple>

#include "logger.h"
#include "utils/unique_fd.h"

namespace Json {

const Value& operator>>(const Value& value, int& result) {
    result = value.asInt();
    return value;
}

const Value& operator>>(const Value& value, std::string& result) {
    result = value.asString();
    return value;
}

const Value& operator>>(const Value& value, double& result) {
    result = value.asDouble();
    return value;
}

const Value& operator>>(const Value& value, bool& result) {
    result = value.asBool();
    return value;
}

}  // namespace Json

namespace Velk {

namespace {

Json::Value member(const Json::Value& json, std::string_view key, const Json::Value& def) {
    return json.get(key.data(), key.data() + key.size(), def);
}

}  // namespace

bool JsonConfig::hasValue(std::string_view key) const {
    return json.isMember(key.data(), key.data() + key.size());
}

std::vector<std::string> JsonConfig::getKeys() const {
    return json.getMemberNames();
}

std::string JsonConfig::getString(std::string_view key, const std::string& def) const {
    return member(json, key, Json::Value(def)).asString();
}

int JsonConfig::getInteger(std::string_view key, int def) const {
    return member(json, key, Json::Value(def)).asInt();
}

double JsonConfig::getDouble(std::string_view key, double def) const {
    return member(json, key, Json::Value(def)).asDouble();
}

bool JsonConfig::getBoolean(std::string_view key, bool def) const {
    return member(json, key, Json::Value(def)).asBool();
}

Json::Value JsonConfig::getValue(std::string_view key) const {
    return member(json, key, Json::Value());
}

std::list<std::string> JsonConfig::getStringList(std::string_view key) const {
    if (!hasValue(key)) {
        return {};
    }
    return valueToList<std::string>(getValue(key));
}

std::vector<std::string> JsonConfig::getVectorList(std::string_view key) const {
    if (!hasValue(key)) {
        return {};
    }
    return valueToVector<std::string>(getValue(key));
}

JsonConfigString::JsonConfigString(const std::string& text) {
    std::istringstream stream(text);
    stream >> json;

    if (!json.isObject()) {
        Syslog::error("%s: config failed, not json object: `%s'", "JsonConfigString", text.c_str());
        throw velk_error("JsonConfigString");
    }
}

namespace {

// The whole file, or nullopt with errno's code in `failure`.
std::optional<std::string> readText(const std::filesystem::path& path, int& failure) {
    const Utils::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        failure = errno;
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd.get(), buffer, sizeof(buffer));
        if (got == 0) {
            return text;
        }
        if (got < 0 && errno != EINTR) {
            failure = errno;
            return std::nullopt;
        }
        text.append(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0)));
    }
}

}  // namespace

// The text is read here and handed to the reader as a string, which it keeps:
// its stream overload parses a copy it frees on return, and its error message
// then gives a line and column read from freed memory.
Json::Value readJson(const std::filesystem::path& path) {
    Syslog::info("%s: file: %s", "readJson", path.c_str());

    int failure = 0;
    const std::optional<std::string> document = readText(path, failure);
    if (!document) {
        // Missing, or a path that opens but cannot be read (a directory).
        Syslog::error("%s: open failed, path: %s", "readJson", path.c_str());
        return Json::Value();
    }

    Json::Value value;
    Json::Reader reader(Json::Features::strictMode());
    bool parsed = false;
    std::string messages;
    try {
        parsed = reader.parse(*document, value, false);
        messages = reader.getFormattedErrorMessages();
    } catch (const Json::Exception& error) {
        // The reader's nesting limit throws instead of reporting.
        messages = error.what();
    }

    if (!parsed) {
        Syslog::error("%s: parse failed, path: %s, json error: `%s'", "readJson", path.c_str(),
                      messages.c_str());
        // What the reader left of a half-written file can still be an object;
        // taken for the configuration it would silently reset every key that
        // had not been read yet.
        return Json::Value();
    }
    return value;
}

}  // namespace Velk

namespace Velk {

namespace {

const char* kindName(JsonKind kind) {
    switch (kind) {
        case JsonKind::String:
            return "a string";
        case JsonKind::Integer:
            return "an integer";
        case JsonKind::Boolean:
            return "a boolean";
        case JsonKind::StringList:
            return "a list of strings";
        case JsonKind::Object:
            return "an object";
        case JsonKind::Any:
            break;
    }
    return "any value";
}

const char* foundName(const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            return "null";
        case Json::intValue:
        case Json::uintValue:
            return "an integer";
        case Json::realValue:
            return "a number";
        case Json::stringValue:
            return "a string";
        case Json::booleanValue:
            return "a boolean";
        case Json::arrayValue:
            return "an array";
        case Json::objectValue:
            return "an object";
    }
    return "a value";
}

// 3.0 is an integer to asInt, so it is one here too; 1e30 is one that no
// int holds, which the range says.
bool hasKind(const Json::Value& value, JsonKind kind) {
    switch (kind) {
        case JsonKind::String:
            return value.isString();
        case JsonKind::Integer:
            return value.isIntegral() ||
                   (value.isDouble() && std::trunc(value.asDouble()) == value.asDouble());
        case JsonKind::Boolean:
            return value.isBool();
        case JsonKind::StringList:
            return value.isArray();
        case JsonKind::Object:
            return value.isObject();
        case JsonKind::Any:
            break;
    }
    return true;
}

std::string numberText(const Json::Value& value) {
    if (value.isInt64()) {
        return std::to_string(value.asInt64());
    }
    if (value.isUInt64()) {
        return std::to_string(value.asUInt64());
    }
    std::ostringstream text;
    text << value.asDouble();
    return text.str();
}

// An empty choice (a key that may be left empty) shows as "".
std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        text.append(text.empty() ? "" : ", ").append(name.empty() ? "\"\"" : name);
    }
    return text;
}

// Optimal string alignment: Levenshtein plus the swap of two neighbours,
// the commonest slip of a typing hand.
size_t editDistance(std::string_view from, std::string_view to) {
    std::vector<std::vector<size_t>> d(from.size() + 1, std::vector<size_t>(to.size() + 1));
    for (size_t i = 0; i <= from.size(); ++i) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= to.size(); ++j) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= from.size(); ++i) {
        for (size_t j = 1; j <= to.size(); ++j) {
            const size_t cost = from[i - 1] == to[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && from[i - 1] == to[j - 2] && from[i - 2] == to[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[from.size()][to.size()];
}

std::string suggestion(std::string_view name, const std::vector<std::string>& candidates) {
    const std::optional<std::string> nearest = nearestName(name, candidates);
    return nearest ? ", did you mean " + *nearest + "?" : "";
}

// An Integer outside its range (by default the range of int).
std::optional<std::string> rangeProblem(const std::string& name, const Json::Value& member,
                                        const JsonKnownKey& knownKey) {
    const int low = knownKey.min.value_or(std::numeric_limits<int>::min());
    const int high = knownKey.max.value_or(std::numeric_limits<int>::max());
    const double number = member.asDouble();
    if (number >= low && number <= high) {
        return std::nullopt;
    }
    return name + ": " + numberText(member) + " is out of range " + std::to_string(low) + ".." +
           std::to_string(high);
}

std::optional<std::string> choiceProblem(const std::string& name, const Json::Value& member,
                                         const JsonKnownKey& knownKey) {
    const std::string text = member.asString();
    if (knownKey.choices.empty() ||
        std::find(knownKey.choices.begin(), knownKey.choices.end(), text) != knownKey.choices.end()) {
        return std::nullopt;
    }
    return name + ": `" + text + "' is not one of " + joined(knownKey.choices) +
           suggestion(text, knownKey.choices);
}

}  // namespace

std::string formatJsonProblem(const std::string& path, const JsonProblem& problem) {
    if (problem.line == 0) {
        return path + ": " + problem.message;
    }
    return path + ":" + std::to_string(problem.line) + ":" + std::to_string(problem.column) + ": " +
           problem.message;
}

std::optional<std::string> nearestName(std::string_view name, const std::vector<std::string>& candidates) {
    size_t best = std::max<size_t>(2, name.size() / 3) + 1;
    std::optional<std::string> nearest;
    for (const auto& candidate : candidates) {
        const size_t distance = editDistance(name, candidate);
        if (distance < best) {
            best = distance;
            nearest = candidate;
        }
    }
    return nearest;
}

JsonDocument::JsonDocument(std::string json) : text(std::move(json)) {
    parse();
}

JsonDocument JsonDocument::fromFile(const std::filesystem::path& path) {
    int failure = 0;
    std::optional<std::string> contents = readText(path, failure);
    if (contents) {
        return JsonDocument(std::move(*contents));
    }
    JsonDocument unreadable;
    unreadable.found.push_back(
        {JsonProblemKind::Unreadable, 0, 0, std::string("cannot be read: ") + std::strerror(failure)});
    return unreadable;
}

void JsonDocument::parse() {
    Json::Reader reader(Json::Features::strictMode());
    bool parsed = false;
    try {
        parsed = reader.parse(text.data(), text.data() + text.size(), value, false);
    } catch (const Json::Exception& error) {
        // The reader's nesting limit throws instead of reporting.
        found.push_back({JsonProblemKind::Syntax, 1, 1, error.what()});
    }
    for (const auto& error : reader.getStructuredErrors()) {
        found.push_back(locate(error.offset_start, JsonProblemKind::Syntax, error.message));
    }
    // The reader stops at the end of the root and takes no notice of what
    // follows it: a stray bracket would pass.
    const size_t extra =
        parsed ? text.find_first_not_of(" \t\r\n", static_cast<size_t>(value.getOffsetLimit())) : 0;
    if (parsed && extra != std::string::npos) {
        found.push_back(locate(static_cast<ptrdiff_t>(extra), JsonProblemKind::Syntax,
                               "Syntax error: text after the end of the document"));
    }
    if (!parsed && found.empty()) {
        found.push_back({JsonProblemKind::Syntax, 1, 1, "Syntax error"});
    }
    if (found.empty()) {
        findLaxSyntax();
    }
    if (!found.empty()) {
        // What the reader left of a broken text must not pass for its contents.
        value = Json::Value();
    }
}

// What the strict reader lets through: a comment between two members or
// elements, and a key given twice in one object, of which it keeps the last
// without a word.
void JsonDocument::findLaxSyntax() {
    struct Level {
        bool object;
        bool expectingKey;
        std::set<std::string> keys;
    };
    std::vector<Level> levels;
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            size_t end = at + 1;
            while (end < text.size() && text[end] != '"') {
                end += text[end] == '\\' ? 2 : 1;
            }
            if (!levels.empty() && levels.back().object && levels.back().expectingKey) {
                const std::string key = text.substr(at + 1, end - at - 1);
                if (!levels.back().keys.insert(key).second) {
                    found.push_back(locate(static_cast<ptrdiff_t>(at), JsonProblemKind::Syntax,
                                           "Syntax error: the key \"" + key + "\" is given twice"));
                }
                levels.back().expectingKey = false;
            }
            at = end;
        } else if (c == '/') {
            found.push_back(locate(static_cast<ptrdiff_t>(at), JsonProblemKind::Syntax,
                                   "Syntax error: comments are not allowed in strict JSON"));
            return;
        } else if (c == '{' || c == '[') {
            levels.push_back({c == '{', c == '{', {}});
        } else if ((c == '}' || c == ']') && !levels.empty()) {
            levels.pop_back();
        } else if (c == ',' && !levels.empty()) {
            levels.back().expectingKey = levels.back().object;
        }
    }
}

JsonProblem JsonDocument::locate(ptrdiff_t offset, JsonProblemKind kind, std::string message) const {
    const auto at = text.begin() + std::clamp<ptrdiff_t>(offset, 0, static_cast<ptrdiff_t>(text.size()));
    const auto lineStart = std::find(std::make_reverse_iterator(at), text.rend(), '\n').base();
    return {kind, 1 + static_cast<int>(std::count(text.begin(), at, '\n')),
            1 + static_cast<int>(at - lineStart), std::move(message)};
}

JsonProblem JsonDocument::problemAt(const Json::Value& at, JsonProblemKind kind, std::string message) const {
    return locate(at.getOffsetStart(), kind, std::move(message));
}

std::vector<JsonProblem> JsonDocument::checkObject(const Json::Value& object,
                                                   const std::vector<JsonKnownKey>& knownKeys) const {
    if (!object.isObject()) {
        return {problemAt(object, JsonProblemKind::WrongType,
                          std::string("expected an object, found ") + foundName(object))};
    }
    std::vector<std::string> known;
    known.reserve(knownKeys.size());
    for (const auto& knownKey : knownKeys) {
        known.push_back(knownKey.name);
    }
    std::vector<JsonProblem> problems;
    for (const auto& name : object.getMemberNames()) {
        const auto match = std::find(known.begin(), known.end(), name);
        if (match == known.end()) {
            problems.push_back(problemAt(object[name], JsonProblemKind::UnknownKey,
                                         name + ": unknown key" + suggestion(name, known)));
        } else {
            checkMember(name, object[name], knownKeys[static_cast<size_t>(match - known.begin())], problems);
        }
    }
    // jsoncpp keeps members by name; a reader goes through the file.
    std::stable_sort(problems.begin(), problems.end(), [](const JsonProblem& a, const JsonProblem& b) {
        return std::tie(a.line, a.column) < std::tie(b.line, b.column);
    });
    return problems;
}

void JsonDocument::checkMember(const std::string& name, const Json::Value& member,
                               const JsonKnownKey& knownKey, std::vector<JsonProblem>& problems) const {
    if (!hasKind(member, knownKey.kind)) {
        problems.push_back(
            problemAt(member, JsonProblemKind::WrongType,
                      name + ": expected " + kindName(knownKey.kind) + ", found " + foundName(member)));
        return;
    }
    if (knownKey.kind == JsonKind::StringList) {
        for (Json::ArrayIndex index = 0; index < member.size(); ++index) {
            if (!member[index].isString()) {
                problems.push_back(problemAt(member[index], JsonProblemKind::WrongType,
                                             name + "[" + std::to_string(index) +
                                                 "]: expected a string, found " + foundName(member[index])));
            }
        }
        return;
    }
    const std::optional<std::string> outOfRange =
        knownKey.kind == JsonKind::Integer  ? rangeProblem(name, member, knownKey)
        : knownKey.kind == JsonKind::String ? choiceProblem(name, member, knownKey)
                                            : std::nullopt;
    if (outOfRange) {
        problems.push_back(problemAt(member, JsonProblemKind::OutOfRange, *outOfRange));
    }
}

}  // namespace Velk
