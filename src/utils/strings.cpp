// Text and byte conversions of the runtime library.
#include "utils/strings.h"

#include <algorithm>
#include <cctype>
#include <codecvt>
#include <cstring>
#include <iomanip>
#include <locale>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>

#include "logger.h"

namespace Velk {

int connectPolicy(const std::string& text) {
    const std::string policy = Utils::stringLower(text);
    if (policy == "prevreplace") {
        return 2;
    }
    if (policy == "multiallow") {
        return 3;
    }
    return 1;
}

namespace Utils {

namespace {

uint16_t swapUnit(uint16_t unit) {
    return static_cast<uint16_t>((unit << 8) | (unit >> 8));
}

// One 16-bit unit read in host order, or byte-swapped.
char16_t readUnit(const uint8_t* pos, bool littleEndian) {
    uint16_t unit = 0;
    std::memcpy(&unit, pos, sizeof(unit));
    return static_cast<char16_t>(littleEndian ? unit : swapUnit(unit));
}

// The length without a last odd byte, warned about under the caller's name.
size_t alignedLength(const char* func, size_t len) {
    if (len % 2) {
        Syslog::warning("%s: length not aligned, length: %u", func, static_cast<unsigned>(len));
        return len - 1;
    }
    return len;
}

// stoi in the base over the text; nullopt when it has no digit at all.
std::optional<int> toInt(const std::string& text, int base) {
    try {
        return std::stoi(text, nullptr, base);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Each occurrence of the original text once, left to right.
std::string replaceOnce(const std::string& text, std::string_view pattern, std::string_view replacement) {
    std::string result;
    size_t from = 0;
    for (size_t pos = text.find(pattern); pos != std::string::npos; pos = text.find(pattern, from)) {
        result.append(text, from, pos - from).append(replacement);
        from = pos + pattern.size();
    }
    return result.append(text, from, std::string::npos);
}

}  // namespace

std::string stringUpper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    return text;
}

std::string stringLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

std::string stringQuoted(std::string_view text) {
    std::ostringstream os;
    os << std::quoted(text);
    return os.str();
}

std::string stringUnquoted(const std::string& text) {
    std::istringstream is(text);
    std::string result;
    is >> std::quoted(result);
    return result;
}

std::string stringReplace(const std::string& text, std::string_view pattern, std::string_view replacement) {
    if (pattern.empty()) {
        return text;
    }
    if (replacement.find(pattern) != std::string_view::npos) {
        return replaceOnce(text, pattern, replacement);
    }

    // The leftmost occurrence every time.  Left of a replacement nothing
    // changed, so the next leftmost occurrence cannot start before
    // pattern.size() - 1 bytes ahead of it.  Some texts keep forming new
    // occurrences with their neighbours for ever; past a bound no ending
    // input of this system comes near, each original occurrence is replaced
    // once instead.
    const size_t maxReplacements = (text.size() + 1) * (text.size() + 1) + 1024;
    const size_t maxLength = 16 * text.size() + (1U << 20);
    std::string result(text);
    size_t from = 0;
    size_t replacements = 0;
    for (size_t pos = result.find(pattern); pos != std::string::npos; pos = result.find(pattern, from)) {
        if (++replacements > maxReplacements || result.size() > maxLength) {
            return replaceOnce(text, pattern, replacement);
        }
        result.replace(pos, pattern.size(), replacement);
        from = pos >= pattern.size() - 1 ? pos - (pattern.size() - 1) : 0;
    }
    return result;
}

std::string stringReplace(const std::string& text, std::string_view pattern, int value) {
    return stringReplace(text, pattern, std::to_string(value));
}

std::string unpackString(const std::string& text, int base) {
    char escape = 0;
    size_t digits = 0;
    if (base == 8) {
        escape = '\\';
        digits = 3;
    } else if (base == 16) {
        escape = '%';
        digits = 2;
    } else {
        Syslog::error("%s: unknown base: %d", "unpackString", base);
        return text;
    }

    // Each escape is followed by the rest decoded the same way; a loop gives
    // that result without a stack frame per escape.
    std::string result;
    size_t rest = 0;
    while (rest < text.size()) {
        if (text.size() - rest < digits + 1) {
            break;
        }
        const size_t pos = text.find(escape, rest);
        if (pos == std::string::npos) {
            break;
        }
        result.append(text, rest, pos - rest);

        if (const auto value = toInt(text.substr(pos + 1, digits), base)) {
            result.push_back(static_cast<char>(*value & 0xFF));
            rest = std::min(pos + 1 + digits, text.size());
        } else {
            result.push_back(escape);
            rest = pos + 1;
        }
    }
    return result.append(text, rest, std::string::npos);
}

std::string hexString(const std::vector<uint8_t>& bytes, std::string_view sep, bool prefix) {
    return hexString(bytes.data(), bytes.size(), sep, prefix);
}

std::string hexString(const void* ptr, size_t len, std::string_view sep, bool prefix) {
    const auto* bytes = static_cast<const uint8_t*>(ptr);
    std::ostringstream os;
    for (size_t index = 0; index < len; ++index) {
        if (index) {
            os << sep;
        }
        if (prefix) {
            os << "0x";
        }
        os << std::setw(2) << std::setfill('0') << std::hex << std::nouppercase
           << static_cast<int>(bytes[index]);
    }
    return os.str();
}

std::vector<uint8_t> hexstr2bytes(std::string_view text) {
    std::vector<uint8_t> result;
    result.reserve((text.size() + 1) / 2);

    for (size_t pos = 0; pos < text.size(); pos += 2) {
        if (const auto value = toInt(std::string(text.substr(pos, 2)), 16)) {
            result.push_back(static_cast<uint8_t>(*value & 0xFF));
        } else {
            const std::string whole(text);
            Syslog::warning("%s: failed, strhex: `%s'", "hexstr2bytes", whole.c_str());
            result.push_back(0);
        }
    }
    return result;
}

// The standard converters are deprecated since C++17 but give the specified
// behaviour and exception texts; only their deprecation warning is silenced.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

std::string unicode2string(const std::u16string& text) {
    std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t> conv;
    std::string result = conv.to_bytes(text);
    // libstdc++ stops silently at a high surrogate that ends the text; it is
    // a lone surrogate like any other.
    if (conv.converted() < text.size()) {
        throw std::range_error("wstring_convert::to_bytes");
    }
    return result;
}

std::u16string string2unicode(std::string_view text) {
    std::wstring_convert<std::codecvt_utf8<char16_t>, char16_t> conv;
    return conv.from_bytes(text.data(), text.data() + text.size());
}

#pragma GCC diagnostic pop

std::vector<uint8_t> unicode2bytes(const std::u16string& text, bool littleEndian) {
    std::vector<uint8_t> result(2 * text.size() + 2, 0);
    uint8_t* pos = result.data();
    for (const char16_t ch : text) {
        const auto unit = static_cast<uint16_t>(littleEndian ? ch : swapUnit(ch));
        std::memcpy(pos, &unit, sizeof(unit));
        pos += sizeof(unit);
    }
    return result;
}

std::u16string bytes2unicode(const void* ptr, size_t len, bool littleEndian) {
    const auto* bytes = static_cast<const uint8_t*>(ptr);
    len = alignedLength("bytes2unicode", len);

    std::u16string result;
    if (!bytes) {
        return result;
    }
    for (size_t pos = 0; pos < len; pos += 2) {
        const char16_t unit = readUnit(bytes + pos, littleEndian);
        if (unit == 0) {
            break;
        }
        result.push_back(unit);
    }
    return result;
}

std::u16string bytes2unicode(const std::vector<uint8_t>& bytes, bool littleEndian) {
    return bytes2unicode(bytes.data(), bytes.size(), littleEndian);
}

std::list<std::string> bytesToMultiString(const void* ptr, size_t len) {
    std::list<std::string> result;
    if (!ptr || len == 0) {
        return result;
    }

    const auto* begin = static_cast<const char*>(ptr);
    const auto* end = begin + len;
    for (const char* pos = begin;;) {
        const char* zero = std::find(pos, end, '\0');
        result.emplace_back(pos, zero);
        if (zero == end || zero + 1 == end) {
            break;
        }
        pos = zero + 1;
    }
    return result;
}

std::list<std::u16string> bytesToMultiWString(const void* ptr, size_t len, bool littleEndian) {
    const auto* bytes = static_cast<const uint8_t*>(ptr);
    const size_t units = alignedLength("bytesToMultiWString", len) / 2;

    std::list<std::u16string> result;
    if (!bytes || units == 0) {
        return result;
    }

    std::u16string current;
    for (size_t index = 0; index < units; ++index) {
        const char16_t unit = readUnit(bytes + 2 * index, littleEndian);
        if (unit != 0) {
            current.push_back(unit);
            continue;
        }
        result.push_back(std::move(current));
        current.clear();
        if (index + 1 == units) {
            return result;
        }
    }
    result.push_back(std::move(current));
    return result;
}

std::vector<uint8_t> randomBytes(size_t count) {
    std::vector<uint8_t> result(count);
    randomBytesN(result.data(), count);
    return result;
}

void randomBytesN(void* ptr, size_t count) {
    std::vector<uint8_t> table(256);
    std::iota(table.begin(), table.end(), 0);

    auto* out = static_cast<uint8_t*>(ptr);
    while (count > 0) {
        const size_t chunk = std::min<size_t>(count, table.size());
        std::random_device device("default");
        std::mt19937 generator(device());
        std::shuffle(table.begin(), table.end(), generator);
        std::copy_n(table.begin(), chunk, out);
        out += chunk;
        count -= chunk;
    }
}

}  // namespace Utils
}  // namespace Velk
