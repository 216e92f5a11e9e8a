// UTF-8 and UTF-16 conversions on any bytes.  std::range_error is the
// documented answer to invalid text; every other outcome is checked.
#include <algorithm>
#include <stdexcept>

#include "fuzz_support.h"
#include "utils/strings.h"

using VelkFuzz::require;

namespace {

bool isSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

bool hasSurrogate(const std::u16string& text) {
    return std::any_of(text.begin(), text.end(), isSurrogate);
}

// The input as UTF-8: what converts to UCS-2 without surrogates converts back
// to the same bytes.
void checkFromUtf8(const std::string& text) {
    std::u16string units;
    try {
        units = Velk::Utils::string2unicode(text);
    } catch (const std::range_error&) {
        return;
    }
    if (!hasSurrogate(units)) {
        require(Velk::Utils::unicode2string(units) == text, "UCS-2 text converts back to its UTF-8");
    }
}

// The input as 16-bit units in either byte order: stored and read back
// unchanged, and valid UTF-16 without pairs comes back from UTF-8.
void checkFromUnits(const uint8_t* data, size_t size, bool littleEndian) {
    const std::u16string units = Velk::Utils::bytes2unicode(data, size, littleEndian);
    require(units.size() <= size / 2, "at most one unit per two bytes");
    require(units.find(u'\0') == std::u16string::npos, "units end at the first zero");

    const auto bytes = Velk::Utils::unicode2bytes(units, littleEndian);
    require(bytes.size() == 2 * units.size() + 2, "two bytes per unit and a terminator");
    require(Velk::Utils::bytes2unicode(bytes, littleEndian) == units, "stored units read back");

    std::string utf8;
    try {
        utf8 = Velk::Utils::unicode2string(units);
    } catch (const std::range_error&) {
        return;
    }
    if (!hasSurrogate(units)) {
        require(Velk::Utils::string2unicode(utf8) == units, "UTF-8 of UCS-2 text converts back");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VelkFuzz::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkFromUtf8(std::string(reinterpret_cast<const char*>(data), size));
    checkFromUnits(data, size, true);
    checkFromUnits(data, size, false);
    return 0;
}
