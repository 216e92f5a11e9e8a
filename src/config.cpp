// JSON configuration on jsoncpp: strict file reading, the JsonConfig getters
// and the extraction operators.
#include "config.h"

#include <fstream>
#include <sstream>

#include "logger.h"

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

Json::Value readJson(const std::filesystem::path& path) {
    Syslog::info("%s: file: %s", "readJson", path.c_str());

    std::ifstream stream(path);
    if (!stream.is_open()) {
        Syslog::error("%s: open failed, path: %s", "readJson", path.c_str());
        return Json::Value();
    }

    Json::Value value;
    Json::Reader reader(Json::Features::strictMode());
    bool parsed = false;
    std::string messages;
    try {
        parsed = reader.parse(stream, value, false);
        messages = reader.getFormattedErrorMessages();
    } catch (const std::ios_base::failure&) {
        // A path that opens but cannot be read (a directory): unreadable.
        Syslog::error("%s: open failed, path: %s", "readJson", path.c_str());
        return Json::Value();
    } catch (const Json::Exception& error) {
        // The reader's nesting limit throws instead of reporting.
        messages = error.what();
    }

    stream.close();
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
