// X property values as the server could send them: a STRING value split at
// its NULs (checked against the runtime's own multi-string split, which
// follows the same rule) and a WM_SIZE_HINTS value of any format and length
// copied into a prefilled record.  The first input byte is the format.
#include <algorithm>
#include <array>
#include <cstring>

#include "fuzz_support.h"
#include "utils/strings.h"
#include "xcb/parsers.h"

using VelkFuzz::require;

namespace {

constexpr size_t hintWords = 18;

void checkStrings(std::string_view value) {
    const auto elements = Velk::Xcb::splitPropertyStrings(value);
    require(elements == Velk::Utils::bytesToMultiString(value.data(), value.size()),
            "each NUL ends exactly one element");
}

std::array<uint32_t, hintWords> wordsOf(const Velk::Xcb::SizeHints& hints) {
    std::array<uint32_t, hintWords> words{};
    std::memcpy(words.data(), &hints, sizeof(hints));
    return words;
}

void checkHints(std::string_view value, uint8_t format) {
    std::array<uint32_t, hintWords> before{};
    for (size_t index = 0; index < hintWords; ++index) {
        before[index] = 0xA5A5A500U + static_cast<uint32_t>(index);
    }
    Velk::Xcb::SizeHints hints;
    std::memcpy(&hints, before.data(), sizeof(hints));

    const size_t itemBytes = format / 8;
    const bool copied = Velk::Xcb::copySizeHints(value, format, hints);
    require(copied == (itemBytes > 0), "only a format with items copies");
    if (!copied) {
        require(wordsOf(hints) == before, "nothing is copied");
        return;
    }

    const size_t items = value.size() / itemBytes;
    const size_t copiedBytes = std::min(std::min(items, hintWords) * itemBytes, sizeof(hints));
    std::array<uint32_t, hintWords> expected = before;
    std::memcpy(expected.data(), value.data(), copiedBytes);
    expected[0] &= items >= hintWords ? 0x3FFU : 0xFFU;
    if (items < hintWords) {
        expected[15] = expected[16] = expected[17] = 0;
    }
    require(wordsOf(hints) == expected, "the value's words, the flags of its length");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VelkFuzz::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t format = data[0];
    const std::string_view value(reinterpret_cast<const char*>(data + 1), size - 1);
    checkStrings(value);
    checkHints(value, format);
    return 0;
}
