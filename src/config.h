// JSON configuration: files read in jsoncpp's strict mode, a read-only accessor
// over one parsed JSON object whose getters take a key and a default, and the
// conversions of JSON values into the system's plain types.
#pragma once

#include <json/json.h>

#include <filesystem>
#include <list>
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

}  // namespace Velk
