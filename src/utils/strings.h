// Value-level operations on text and bytes: case mapping, quoting, pattern
// replacement, escape decoding, hexadecimal text, UTF-8/UTF-16 conversions,
// NUL-separated string lists, random bytes and the connection-policy setting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace Velk {

// Lower-cased: "prevreplace" gives 2, "multiallow" 3, anything else 1.
int connectPolicy(const std::string& text);

namespace Utils {

// Each argument written in order to one string stream, no separators.
template <typename... Args>
std::string joinString(const Args&... args) {
    std::ostringstream os;
    ((os << args), ...);
    return os.str();
}

// Every byte mapped by toupper/tolower in the default locale (ASCII only).
std::string stringUpper(std::string text);
std::string stringLower(std::string text);

// std::quoted with delimiter " and escape \.
std::string stringQuoted(std::string_view text);
std::string stringUnquoted(const std::string& text);

// Replaces the leftmost occurrence as long as one exists, so occurrences that a
// replacement forms with its neighbours are replaced too.  Two inputs on which
// that rule would never end are defined here: an empty pattern returns the text
// unchanged; a replacement that contains the pattern replaces each occurrence
// in the original text once, left to right.
std::string stringReplace(const std::string& text, std::string_view pattern, std::string_view replacement);
// The same with the int's decimal text.
std::string stringReplace(const std::string& text, std::string_view pattern, int value);

// Decodes "\" + up to 3 octal digits (base 8) or "%" + up to 2 hex digits
// (base 16) into one byte each.  An escape without a digit stays; texts
// shorter than one full escape stay; any other base is logged and ignored.
std::string unpackString(const std::string& text, int base);

// Two lower-case digits per byte, each after "0x" when prefix is set, the
// separator between bytes.
std::string hexString(const std::vector<uint8_t>& bytes, std::string_view sep, bool prefix);
std::string hexString(const void* ptr, size_t len, std::string_view sep, bool prefix);

// Pairs of characters from the start (a last single one alone) read as base 16;
// a pair without a digit gives 0 and a warning.
std::vector<uint8_t> hexstr2bytes(std::string_view text);

// UTF-16 to UTF-8; a lone surrogate (a high one at the very end included)
// throws std::range_error("wstring_convert::to_bytes").
std::string unicode2string(const std::u16string& text);
// UTF-8 to UCS-2; invalid UTF-8 or a character above U+FFFF throws
// std::range_error("wstring_convert::from_bytes").  As the standard converter
// does, an encoded surrogate (ED A0 80) passes as that unit and a BOM is kept.
std::u16string string2unicode(std::string_view text);

// 2 bytes per unit (host order when littleEndian, swapped otherwise) and a
// 2-byte zero terminator.
std::vector<uint8_t> unicode2bytes(const std::u16string& text, bool littleEndian);
// Units up to the first 0 unit; an odd length drops the last byte with a warning.
std::u16string bytes2unicode(const void* ptr, size_t len, bool littleEndian);
std::u16string bytes2unicode(const std::vector<uint8_t>& bytes, bool littleEndian);

// The strings of a buffer of NUL-ended strings (the last terminator may be
// missing); an empty buffer gives an empty list.
std::list<std::string> bytesToMultiString(const void* ptr, size_t len);
// The same with 16-bit units; an odd length drops the last byte with a warning.
std::list<std::u16string> bytesToMultiWString(const void* ptr, size_t len, bool littleEndian);

// Random bytes; within each chunk of 256 no byte value repeats.
std::vector<uint8_t> randomBytes(size_t count);
void randomBytesN(void* ptr, size_t count);

}  // namespace Utils
}  // namespace Velk
