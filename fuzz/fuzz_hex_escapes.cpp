// Hexadecimal text and escape decoding on any text: hexstr2bytes, unpackString
// in base 8 and 16 (and a base it refuses), and hexString read back.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "utils/strings.h"

using VelkFuzz::require;

namespace {

void checkHexText(const std::string& text) {
    const auto bytes = Velk::Utils::hexstr2bytes(text);
    require(bytes.size() == (text.size() + 1) / 2, "one byte per pair of characters");
}

// Every escape stands for one byte or stays, so decoding never grows a text.
void checkUnpack(const std::string& text, int base) {
    const std::string decoded = Velk::Utils::unpackString(text, base);
    require(decoded.size() <= text.size(), "decoding does not grow the text");
    if (text.find(base == 8 ? '\\' : '%') == std::string::npos) {
        require(decoded == text, "a text without escapes stays");
    }
}

void checkHexString(const std::vector<uint8_t>& bytes, const std::string& sep, bool prefix) {
    const std::string text = Velk::Utils::hexString(bytes, sep, prefix);
    const size_t expected =
        bytes.size() * (prefix ? 4 : 2) + (bytes.empty() ? 0 : (bytes.size() - 1) * sep.size());
    require(text.size() == expected, "two digits per byte, the prefix and separators");
    require(Velk::Utils::hexstr2bytes(Velk::Utils::hexString(bytes, "", false)) == bytes,
            "plain hexadecimal text reads back");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VelkFuzz::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string whole(reinterpret_cast<const char*>(data), size);
    checkHexText(whole);
    checkUnpack(whole, 8);
    checkUnpack(whole, 16);

    FuzzedDataProvider provider(data, size);
    const int otherBase = provider.ConsumeIntegral<int>();
    if (otherBase != 8 && otherBase != 16) {
        require(Velk::Utils::unpackString(whole, otherBase) == whole, "an unknown base keeps the text");
    }
    const bool prefix = provider.ConsumeBool();
    const std::string sep = provider.ConsumeRandomLengthString(4);
    checkHexString(provider.ConsumeRemainingBytes<uint8_t>(), sep, prefix);
    return 0;
}
