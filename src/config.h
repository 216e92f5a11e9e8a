// JSON configuration: files read in jsoncpp's strict mode, a read-only accessor
// over one parsed JSON object whose getters take a key and a default, the
// conversions of JSON values into the system's plain types, and the checker
// that reports every problem of a file by line and column.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <filesystem>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Json {

// Extractions used by templates as `value >> variable`; each converts with the
// matching jsoncpp `as` conversion (and raises its error) and returns the value.
const Value& operator>>(const Value& value, int& result);
const Value& operator>>(const Value& value, std::string& result);
const Value& operator>>(const Value& value, double& result);
const Value& operator>>(const Value& value, bool& result);

}  // namespace Json

namespace Velk {

// The array's elements, each extracted with `operator>>`, in order; empty when
// the value is not an array.  An element that does not convert raises
// jsoncpp's error.
template <typename T>
std::list<T> valueToList(const Json::Value& jv) {
    std::list<T> result;
    if (jv.isArray()) {
        for (Json::ArrayIndex index = 0; index < jv.size(); ++index) {
            auto& element = result.emplace_back();
            jv[index] >> element;
        }
    }
    return result;
}

template <typename T>
std::vector<T> valueToVector(const Json::Value& jv) {
    std::vector<T> result;
    if (jv.isArray()) {
        result.reserve(jv.size());
        for (Json::ArrayIndex index = 0; index < jv.size(); ++index) {
            auto& element = result.emplace_back();
            jv[index] >> element;
        }
    }
    return result;
}

// Read-only accessor over a JSON object (build it only from an object).  Keys
// are top-level member names; ":" in a name is no separator.  The getters with
// a default convert by jsoncpp's rules: an absent key gives the default, a null
// member the type's empty value, a mismatched type raises jsoncpp's error.
class JsonConfig {
public:
    JsonConfig() = default;
    explicit JsonConfig(const Json::Value& value) : json(value) {}
    virtual ~JsonConfig() = default;

    JsonConfig(const JsonConfig&) = default;
    JsonConfig& operator=(const JsonConfig&) = default;
    JsonConfig(JsonConfig&&) = default;
    JsonConfig& operator=(JsonConfig&&) = default;

    bool hasValue(std::string_view key) const;
    std::vector<std::string> getKeys() const;

    std::string getString(std::string_view key, const std::string& def = "") const;
    int getInteger(std::string_view key, int def = 0) const;
    double getDouble(std::string_view key, double def = 0) const;
    bool getBoolean(std::string_view key, bool def = false) const;
    // A copy of the member, or a null value when it is absent.
    Json::Value getValue(std::string_view key) const;

    // The member's array elements as strings; empty when absent or not an array.
    std::list<std::string> getStringList(std::string_view key) const;
    std::vector<std::string> getVectorList(std::string_view key) const;

protected:
    Json::Value json;
};

// A JSON object text.  jsoncpp's default stream reader parses it (comments
// accepted); its parse errors pass to the caller as jsoncpp's exception, and
// valid JSON that is not an object throws velk_error("JsonConfigString").
class JsonConfigString : public JsonConfig {
public:
    explicit JsonConfigString(const std::string& text);
};

// The file parsed in strict mode (no comments; the root must be an object or an
// array).  A file that cannot be opened or read gives a null value; so does a
// syntax error (or nesting beyond jsoncpp's limit), after it is logged: a
// half-read object must not pass for the file's contents.  Never throws for
// either.  jsoncpp's strict Reader still
// skips comments between array elements or object members and ignores
// anything after the root value.
Json::Value readJson(const std::filesystem::path& path);

// ---- Checking a JSON file: every problem with its line and column ----

// What kind of problem: a program may go on despite some (an unknown key is
// ignored by the getters) and not others.
enum class JsonProblemKind { Unreadable, Syntax, WrongType, OutOfRange, UnknownKey };

// One problem, located 1-based in bytes; line 0 when it concerns the whole
// file (it cannot be read).
struct JsonProblem {
    JsonProblemKind kind = JsonProblemKind::Syntax;
    int line = 0;
    int column = 0;
    std::string message;
};

// "PATH:LINE:COLUMN: message", or "PATH: message" for line 0.
std::string formatJsonProblem(const std::string& path, const JsonProblem& problem);

// The kinds a key's value may be.  Integer means an integral number within
// the range of int (what JsonConfig::getInteger reads); StringList an array
// of strings; Any takes every value.
enum class JsonKind { String, Integer, Boolean, StringList, Object, Any };

// One known key of an object.  `min`/`max` narrow an Integer; `choices`, when
// not empty, are the only texts a String may hold.
struct JsonKnownKey {
    std::string name;
    JsonKind kind = JsonKind::Any;
    std::optional<int> min;
    std::optional<int> max;
    std::vector<std::string> choices;
};

// A JSON text parsed strictly (as readJson parses a file, and more: no
// comment anywhere, no key twice in one object), kept together with the
// text so that problems found in its values can be located.  Nothing is
// logged: the caller decides who hears of the problems.
class JsonDocument {
public:
    explicit JsonDocument(std::string json);
    // The file's text parsed; a file that cannot be read gives a document
    // with a null root and one Unreadable problem.
    static JsonDocument fromFile(const std::filesystem::path& path);

    // Null when the text did not parse.
    const Json::Value& root() const { return value; }
    // The syntax problems (or the one Unreadable problem); empty when it parsed.
    const std::vector<JsonProblem>& problems() const { return found; }

    // A problem located at a value of this document's root (jsoncpp keeps
    // each parsed value's offset; copies keep it too).
    JsonProblem problemAt(const Json::Value& at, JsonProblemKind kind, std::string message) const;

    // The problems of one object of this document against its known keys,
    // each located at the member's value: a value of the wrong kind, a number
    // outside its range, a text not among its choices, a key that is not
    // known (with the nearest known one, when one is near).  A value that is
    // not an object is one WrongType problem.  In the order of the text.
    std::vector<JsonProblem> checkObject(const Json::Value& object,
                                         const std::vector<JsonKnownKey>& knownKeys) const;

private:
    JsonDocument() = default;
    void parse();
    void findLaxSyntax();
    JsonProblem locate(ptrdiff_t offset, JsonProblemKind kind, std::string message) const;
    void checkMember(const std::string& name, const Json::Value& member, const JsonKnownKey& knownKey,
                     std::vector<JsonProblem>& problems) const;

    std::string text;
    Json::Value value;
    std::vector<JsonProblem> found;
};

// The candidate nearest to the name by edit distance (a swap of two
// neighbouring characters counts as one edit), when it is near enough to be
// a likely slip: at most a third of the name's length, and at least 2.
std::optional<std::string> nearestName(std::string_view name, const std::vector<std::string>& candidates);

}  // namespace Velk
