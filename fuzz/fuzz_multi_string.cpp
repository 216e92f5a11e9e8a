// NUL-separated string lists, in bytes and in 16-bit units: the elements
// joined by their terminators give back the buffer.
#include <string>

#include "fuzz_support.h"
#include "utils/strings.h"

using VelkFuzz::require;

namespace {

// The buffer less one final terminator, which ends its element and starts none.
template <typename Text>
Text withoutFinalTerminator(Text text) {
    if (!text.empty() && text.back() == 0) {
        text.pop_back();
    }
    return text;
}

template <typename List>
typename List::value_type joined(const List& elements) {
    typename List::value_type result;
    for (auto element = elements.begin(); element != elements.end(); ++element) {
        require(element->find(typename List::value_type::value_type{0}) == List::value_type::npos,
                "no element holds a terminator");
        if (element != elements.begin()) {
            result.push_back(0);
        }
        result += *element;
    }
    return result;
}

void checkBytes(const uint8_t* data, size_t size) {
    const auto elements = Velk::Utils::bytesToMultiString(data, size);
    const std::string buffer(reinterpret_cast<const char*>(data), size);
    require(elements.empty() == buffer.empty(), "only an empty buffer gives no element");
    require(joined(elements) == withoutFinalTerminator(buffer), "the elements make up the buffer");
}

void checkUnits(const uint8_t* data, size_t size, bool littleEndian) {
    const auto elements = Velk::Utils::bytesToMultiWString(data, size, littleEndian);
    std::u16string buffer;
    for (size_t pos = 0; pos + 1 < size; pos += 2) {
        const auto first = static_cast<char16_t>(data[pos]);
        const auto second = static_cast<char16_t>(data[pos + 1]);
        buffer.push_back(littleEndian ? static_cast<char16_t>(first | (second << 8))
                                      : static_cast<char16_t>((first << 8) | second));
    }
    require(elements.empty() == buffer.empty(), "only a buffer without a unit gives no element");
    require(joined(elements) == withoutFinalTerminator(buffer), "the elements make up the units");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VelkFuzz::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkBytes(data, size);
    checkUnits(data, size, true);
    checkUnits(data, size, false);
    return 0;
}
