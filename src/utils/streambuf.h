// Messages in byte form: StreamBuf, a growable byte buffer written at its end,
// and StreamBufRef, a non-owning reader over a byte range with little- and
// big-endian integer getters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Velk {

// Every put appends at the end of the vector; callers read the vector itself.
class StreamBuf {
public:
    explicit StreamBuf(size_t reserve = 0) { vec.reserve(reserve); }

    // Size 0, capacity kept.
    void reset() { vec.clear(); }

    void putRaw(const void* ptr, size_t len);
    void putZero(size_t count);
    void putInt8(uint8_t value);
    void putIntLE16(uint16_t value);
    void putIntLE32(uint32_t value);
    void putIntLE64(uint64_t value);
    void putIntBE16(uint16_t value);
    void putIntBE32(uint32_t value);
    void putIntBE64(uint64_t value);

    const std::vector<uint8_t>& rawbuf() const { return vec; }
    const uint8_t* data() const { return vec.data(); }
    size_t size() const { return vec.size(); }
    size_t capacity() const { return vec.capacity(); }

private:
    std::vector<uint8_t> vec;
};

// Reads a byte range it does not own; the bytes must outlive it.  Reading past
// the end throws std::invalid_argument named after the operation ("getRaw",
// "skip", "getBytes") and leaves the position unchanged; peek at the end throws
// std::out_of_range("peek").  Each failure is logged first.
class StreamBufRef {
public:
    // A null pointer or a length of 0 throws std::invalid_argument("StreamBufRef").
    StreamBufRef(const void* ptr, size_t len);
    ~StreamBufRef() = default;

    StreamBufRef(const StreamBufRef&) = delete;
    StreamBufRef& operator=(const StreamBufRef&) = delete;
    // Both copy the two pointers; the source stays valid.
    StreamBufRef(StreamBufRef&& other) noexcept : it1(other.it1), it2(other.it2) {}
    StreamBufRef& operator=(StreamBufRef&& other) noexcept;

    // Accepts any range, an empty one included.
    void reset(const void* ptr, size_t len);

    void getRaw(void* ptr, size_t len) const;
    std::vector<uint8_t> getBytes(size_t len) const;
    void skip(size_t len) const;
    uint8_t peek() const;
    size_t last() const { return static_cast<size_t>(it2 - it1); }
    const uint8_t* data() const { return it1; }

    uint8_t getInt8() const;
    uint16_t getIntLE16() const;
    uint32_t getIntLE32() const;
    uint64_t getIntLE64() const;
    uint16_t getIntBE16() const;
    uint32_t getIntBE32() const;
    uint64_t getIntBE64() const;

private:
    template <typename T>
    T getIntLE() const;
    template <typename T>
    T getIntBE() const;
    void checkLength(const char* func, size_t len) const;

    mutable const uint8_t* it1 = nullptr;
    mutable const uint8_t* it2 = nullptr;
};

}  // namespace Velk
