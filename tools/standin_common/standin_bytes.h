// What the stand-in transport and the proxy's tests agree on about the bytes
// they exchange: the checksum of received data (FNV-1a, 64 bits) and the
// deterministic pattern the transport sends in source mode.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VelkStandin {

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
