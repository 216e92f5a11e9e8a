// Mode-line, string-list and size-hints parsing on plain bytes.
#include "xcb/parsers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace Velk::Xcb {

namespace {

// RandR ModeFlag bits.
constexpr uint32_t hsyncPositive = 1;
constexpr uint32_t hsyncNegative = 2;
constexpr uint32_t vsyncPositive = 4;
constexpr uint32_t vsyncNegative = 8;

constexpr size_t sizeHintsWords = 18;

// ICCCM flag bits: all ten, and the eight of the old 15-word record.
constexpr uint32_t allHintFlags = 0x3FF;
constexpr uint32_t shortHintFlags = 0xFF;

std::string nextToken(std::istream& tokens) {
    std::string token;
    tokens >> token;
    return token;
}

// Skips "Modeline" and the calculator's quoted name.
std::istringstream tokensAfterName(const std::string& modeline) {
    std::istringstream tokens(modeline);
    nextToken(tokens);
    nextToken(tokens);
    return tokens;
}

// Truncated toward zero, then cut to 16 bits.  fmod keeps those bits exact for
// every finite value; a cast through a 64-bit integer is undefined past its
// range, and the calculator's output is not ours to trust.
uint16_t timingValue(std::istream& tokens) {
    const double value = std::stod(nextToken(tokens));
    if (!std::isfinite(value)) {
        throw std::invalid_argument("stod");
    }
    const double low16 = std::fmod(std::trunc(value), 65536.0);
    return static_cast<uint16_t>(static_cast<int32_t>(low16));
}

// A NaN compares false with every limit and has no integer value: no number.
float clockMHz(std::istream& tokens) {
    const float clock = std::stof(nextToken(tokens));
    if (std::isnan(clock)) {
        throw std::invalid_argument("stof");
    }
    return clock;
}

// A clock below zero, or past what 32 bits of Hz hold, has no dot clock.
uint32_t dotClockHz(float clock) {
    const float hertz = clock * 1000000.0F;
    if (clock < 0.0F || hertz >= 4294967296.0F) {
        throw std::out_of_range("cvtModeInfo");
    }
    return static_cast<uint32_t>(hertz);
}

uint32_t syncFlags(const std::string& hsync, const std::string& vsync) {
    uint32_t flags = 0;
    if (hsync == "-hsync") {
        flags = hsyncNegative;
    } else if (hsync == "+hsync") {
        flags = hsyncPositive;
    }
    if (vsync == "-vsync") {
        flags |= vsyncNegative;
    } else if (vsync == "+vsync") {
        flags |= vsyncPositive;
    }
    return flags;
}

}  // namespace

std::string cvtModeline(const std::string& output) {
    return output.substr(output.find("Modeline"));
}

float cvtPixelClockMHz(const std::string& modeline) {
    std::istringstream tokens = tokensAfterName(modeline);
    return clockMHz(tokens);
}

std::optional<xcb_randr_mode_info_t> cvtModeInfo(const std::string& modeline) {
    std::istringstream tokens = tokensAfterName(modeline);
    xcb_randr_mode_info_t mode{};
    mode.dot_clock = dotClockHz(clockMHz(tokens));
    mode.width = timingValue(tokens);
    mode.hsync_start = timingValue(tokens);
    mode.hsync_end = timingValue(tokens);
    mode.htotal = timingValue(tokens);
    mode.height = timingValue(tokens);
    mode.vsync_start = timingValue(tokens);
    mode.vsync_end = timingValue(tokens);
    mode.vtotal = timingValue(tokens);
    const std::string hsync = nextToken(tokens);
    const std::string vsync = nextToken(tokens);
    if (vsync.empty()) {
        return std::nullopt;
    }
    mode.mode_flags = syncFlags(hsync, vsync);
    return mode;
}

std::list<std::string> splitPropertyStrings(std::string_view value) {
    std::list<std::string> elements;
    for (size_t start = 0; start < value.size();) {
        const size_t end = std::min(value.find('\0', start), value.size());
        elements.emplace_back(value.substr(start, end - start));
        start = end + 1;
    }
    return elements;
}

std::list<uint32_t> propertyWords(std::string_view value) {
    std::list<uint32_t> words;
    for (size_t offset = 0; offset + sizeof(uint32_t) <= value.size(); offset += sizeof(uint32_t)) {
        uint32_t word = 0;
        std::memcpy(&word, value.data() + offset, sizeof(word));
        words.push_back(word);
    }
    return words;
}

bool copySizeHints(std::string_view value, uint8_t format, SizeHints& hints) {
    const size_t itemBytes = format / 8;
    if (itemBytes == 0) {
        return false;
    }
    const size_t items = value.size() / itemBytes;
    const size_t copied =
        std::min<size_t>(std::min<size_t>(items, sizeHintsWords) * itemBytes, sizeof(SizeHints));
    std::memcpy(&hints, value.data(), copied);

    if (items >= sizeHintsWords) {
        hints.flags &= allHintFlags;
    } else {
        // The old record ends before base size and gravity.
        hints.baseWidth = 0;
        hints.baseHeight = 0;
        hints.windowGravity = 0;
        hints.flags &= shortHintFlags;
    }
    return true;
}

}  // namespace Velk::Xcb
