// See ntlm_hash.h. MD4 after RFC 1320, written out here: the stand-in needs
// nothing else of a crypto library.
#include "ntlm_hash.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace VelkStandin {

namespace {

uint32_t rotate(uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

void md4Block(std::array<uint32_t, 4>& state, const uint8_t* block) {
    uint32_t x[16];
    for (size_t i = 0; i < 16; ++i) {
        const uint8_t* word = block + i * 4;
        x[i] = word[0] | word[1] << 8U | word[2] << 16U | static_cast<uint32_t>(word[3]) << 24U;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    const auto f = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (~u & w); };
    const auto g = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (u & w) | (v & w); };
    const auto h = [](uint32_t u, uint32_t v, uint32_t w) { return u ^ v ^ w; };
    constexpr int s1[] = {3, 7, 11, 19}, s2[] = {3, 5, 9, 13}, s3[] = {3, 9, 11, 15};
    constexpr int order3[] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    uint32_t* regs[] = {&a, &d, &c, &b};
    for (int i = 0; i < 16; ++i) {
        uint32_t& r = *regs[i % 4];
        r = rotate(r + f(*regs[(i + 3) % 4], *regs[(i + 2) % 4], *regs[(i + 1) % 4]) + x[i], s1[i % 4]);
    }
    for (int i = 0; i < 16; ++i) {
        uint32_t& r = *regs[i % 4];
        const int k = (i % 4) * 4 + i / 4;
        r = rotate(r + g(*regs[(i + 3) % 4], *regs[(i + 2) % 4], *regs[(i + 1) % 4]) + x[k] + 0x5A827999U,
                   s2[i % 4]);
    }
    for (int i = 0; i < 16; ++i) {
        uint32_t& r = *regs[i % 4];
        r = rotate(
            r + h(*regs[(i + 3) % 4], *regs[(i + 2) % 4], *regs[(i + 1) % 4]) + x[order3[i]] + 0x6ED9EBA1U,
            s3[i % 4]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

std::vector<uint8_t> md4(std::vector<uint8_t> message) {
    const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
    message.push_back(0x80);
    while (message.size() % 64 != 56) {
        message.push_back(0);
    }
    for (int i = 0; i < 8; ++i) {
        message.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    }
    std::array<uint32_t, 4> state = {0x67452301U, 0xEFCDAB89U, 0x98BADCFEU, 0x10325476U};
    for (size_t offset = 0; offset < message.size(); offset += 64) {
        md4Block(state, message.data() + offset);
    }
    std::vector<uint8_t> digest;
    for (const uint32_t word : state) {
        for (int i = 0; i < 4; ++i) {
            digest.push_back(static_cast<uint8_t>(word >> (8 * i)));
        }
    }
    return digest;
}

std::vector<uint8_t> utf16le(const std::string& text) {
    std::vector<uint8_t> units;
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<uint8_t>(text[i]);
        const size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : 3;
        uint32_t point = length == 1 ? byte : length == 2 ? byte & 0x1FU : byte & 0x0FU;
        for (size_t k = 1; k < length && i + k < text.size(); ++k) {
            point = point << 6U | (static_cast<uint8_t>(text[i + k]) & 0x3FU);
        }
        units.push_back(static_cast<uint8_t>(point));
        units.push_back(static_cast<uint8_t>(point >> 8U));
        i += length;
    }
    return units;
}

}  // namespace

std::string ntHash(const std::string& password) {
    std::string hex;
    for (const uint8_t byte : md4(utf16le(password))) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", byte);
        hex += pair;
    }
    return hex;
}

std::string samEntry(const std::string& user, const std::string& password) {
    return user + ":::" + ntHash(password) + ":::";
}

}  // namespace VelkStandin
