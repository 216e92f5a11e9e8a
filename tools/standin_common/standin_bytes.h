// What the stand-in transport and the proxy's tests agree on about the bytes
// they exchange: the RDP client's first packet and the transport's answer,
// the checksum of received data (FNV-1a, 64 bits) and the deterministic
// pattern the transport sends in source mode.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VelkStandin {

// An X.224 Connection Request in a TPKT packet, with the RDP negotiation
// request for TLS and NLA: what an RDP client sends first.
inline constexpr uint8_t connectionRequest[] = {0x03, 0x00, 0x00, 0x13, 0x0e, 0xe0, 0x00, 0x00, 0x00, 0x00,
                                                0x00, 0x01, 0x00, 0x08, 0x00, 0x03, 0x00, 0x00, 0x00};
// An X.224 Connection Confirm in a TPKT packet: the transport's answer.
inline constexpr uint8_t connectionConfirm[] = {0x03, 0x00, 0x00, 0x0b, 0x06, 0xd0,
                                                0x00, 0x00, 0x00, 0x00, 0x00};
constexpr size_t tpktHeaderSize = 4;

// The length a TPKT header announces, the header included.
inline size_t tpktLength(const uint8_t* header) {
    return static_cast<size_t>(header[2]) << 8U | header[3];
}

// Accumulates the checksum and count of a byte stream given in pieces.
class StreamChecksum {
public:
    void add(const uint8_t* data, size_t size) {
        for (size_t index = 0; index < size; ++index) {
            hash = (hash ^ data[index]) * prime;
        }
        count += size;
    }

    uint64_t value() const { return hash; }
    uint64_t bytes() const { return count; }

private:
    static constexpr uint64_t offsetBasis = 0xcbf29ce484222325ULL;
    static constexpr uint64_t prime = 0x100000001b3ULL;

    uint64_t hash = offsetBasis;
    uint64_t count = 0;
};

// The byte at an offset of the source pattern. It does not repeat within a
// few hundred bytes, so a lost, doubled or reordered block shows.
inline uint8_t patternByte(uint64_t offset) {
    return static_cast<uint8_t>((offset * 7) ^ (offset >> 8) ^ (offset >> 16));
}

inline void fillPattern(uint64_t offset, uint8_t* data, size_t size) {
    for (size_t index = 0; index < size; ++index) {
        data[index] = patternByte(offset + index);
    }
}

}  // namespace VelkStandin
