// JSON configuration texts: JsonConfigString and every JsonConfig getter on
// the parsed object's own keys and on a key taken from the input, then the
// same text as a file through readJson.  jsoncpp's Json::Exception and
// velk_error are the documented answers to bad input; readJson never throws.
#include <fuzzer/FuzzedDataProvider.h>

#include "config.h"
#include "fuzz_support.h"
#include "logger.h"

using VelkFuzz::require;

namespace {

// Runs one getter; a conversion that does not apply throws jsoncpp's error.
template <typename Getter>
void tryGetter(Getter getter) {
    try {
        getter();
    } catch (const Json::Exception&) {
    }
}

void readEveryWay(const Velk::JsonConfig& config, const std::string& key) {
    const bool present = config.hasValue(key);
    tryGetter([&] { config.getString(key, "default"); });
    tryGetter([&] { config.getInteger(key, 7); });
    tryGetter([&] { config.getDouble(key, 0.5); });
    tryGetter([&] { config.getBoolean(key, true); });
    tryGetter([&] { require(present || config.getStringList(key).empty(), "an absent list is empty"); });
    tryGetter([&] { require(present || config.getVectorList(key).empty(), "an absent list is empty"); });
    require(present || config.getValue(key).isNull(), "an absent member is null");
    if (!present) {
        require(config.getString(key, "default") == "default", "an absent key gives the default");
        require(config.getInteger(key, 7) == 7, "an absent key gives the default");
    }
}

void readConfig(const Velk::JsonConfig& config, const std::string& inputKey) {
    for (const auto& key : config.getKeys()) {
        require(config.hasValue(key), "a listed key is present");
        readEveryWay(config, key);
    }
    readEveryWay(config, inputKey);
}

void checkText(const std::string& text, const std::string& inputKey) {
    try {
        const Velk::JsonConfigString config(text);
        readConfig(config, inputKey);
    } catch (const Json::Exception&) {
    } catch (const Velk::velk_error&) {
    }
}

void checkFile(const uint8_t* data, size_t size, const std::string& inputKey) {
    static const VelkFuzz::ScratchFile file("config");
    const Json::Value value = Velk::readJson(file.write(data, size));
    require(value.isNull() || value.isObject() || value.isArray(), "a strict root is an object or array");
    if (value.isObject()) {
        readConfig(Velk::JsonConfig(value), inputKey);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VelkFuzz::silenceLogging();
    return 0;
}

// The key is the last line: both readers ignore text after the root value, so
// the input stays a readable configuration.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string whole(reinterpret_cast<const char*>(data), size);
    const size_t newline = whole.rfind('\n');
    const std::string inputKey = newline == std::string::npos ? std::string() : whole.substr(newline + 1);

    checkText(whole, inputKey);
    checkFile(data, size, inputKey);
    return 0;
}
