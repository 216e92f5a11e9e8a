// Byte-buffer writer and non-owning reader with little- and big-endian integers.
#include "utils/streambuf.h"

#include <cstring>
#include <stdexcept>

#include "logger.h"

namespace Velk {

namespace {

template <typename T>
void appendLE(std::vector<uint8_t>& vec, T value) {
    for (size_t index = 0; index < sizeof(T); ++index) {
        vec.push_back(static_cast<uint8_t>(value >> (8 * index)));
    }
}

template <typename T>
void appendBE(std::vector<uint8_t>& vec, T value) {
    for (size_t index = sizeof(T); index > 0; --index) {
        vec.push_back(static_cast<uint8_t>(value >> (8 * (index - 1))));
    }
}

}  // namespace

void StreamBuf::putRaw(const void* ptr, size_t len) {
    if (len > 0) {
        const auto* bytes = static_cast<const uint8_t*>(ptr);
        vec.insert(vec.end(), bytes, bytes + len);
    }
}

void StreamBuf::putZero(size_t count) {
    vec.insert(vec.end(), count, 0);
}

void StreamBuf::putInt8(uint8_t value) {
    vec.push_back(value);
}

void StreamBuf::putIntLE16(uint16_t value) {
    appendLE(vec, value);
}

void StreamBuf::putIntLE32(uint32_t value) {
    appendLE(vec, value);
}

void StreamBuf::putIntLE64(uint64_t value) {
    appendLE(vec, value);
}

void StreamBuf::putIntBE16(uint16_t value) {
    appendBE(vec, value);
}

void StreamBuf::putIntBE32(uint32_t value) {
    appendBE(vec, value);
}

void StreamBuf::putIntBE64(uint64_t value) {
    appendBE(vec, value);
}

StreamBufRef::StreamBufRef(const void* ptr, size_t len) {
    if (!ptr || len == 0) {
        Syslog::error("%s: empty size", "StreamBufRef");
        throw std::invalid_argument("StreamBufRef");
    }
    reset(ptr, len);
}

StreamBufRef& StreamBufRef::operator=(StreamBufRef&& other) noexcept {
    it1 = other.it1;
    it2 = other.it2;
    return *this;
}

void StreamBufRef::reset(const void* ptr, size_t len) {
    it1 = static_cast<const uint8_t*>(ptr);
    it2 = it1 ? it1 + len : it1;
}

void StreamBufRef::checkLength(const char* func, size_t len) const {
    if (len > last()) {
        Syslog::error("%s: incorrect len, last: %u, len: %u", func, static_cast<unsigned>(last()),
                      static_cast<unsigned>(len));
        throw std::invalid_argument(func);
    }
}

void StreamBufRef::getRaw(void* ptr, size_t len) const {
    checkLength("getRaw", len);
    if (len > 0) {
        std::memcpy(ptr, it1, len);
        it1 += len;
    }
}

std::vector<uint8_t> StreamBufRef::getBytes(size_t len) const {
    checkLength("getBytes", len);
    std::vector<uint8_t> bytes(it1, it1 + len);
    it1 += len;
    return bytes;
}

void StreamBufRef::skip(size_t len) const {
    checkLength("skip", len);
    it1 += len;
}

uint8_t StreamBufRef::peek() const {
    if (it1 >= it2) {
        Syslog::error("%s: %s", "peek", "end stream");
        throw std::out_of_range("peek");
    }
    return *it1;
}

template <typename T>
T StreamBufRef::getIntLE() const {
    uint8_t bytes[sizeof(T)];
    getRaw(bytes, sizeof(T));
    T value = 0;
    for (size_t index = sizeof(T); index > 0; --index) {
        value = static_cast<T>((value << 8) | bytes[index - 1]);
    }
    return value;
}

template <typename T>
T StreamBufRef::getIntBE() const {
    uint8_t bytes[sizeof(T)];
    getRaw(bytes, sizeof(T));
    T value = 0;
    for (size_t index = 0; index < sizeof(T); ++index) {
        value = static_cast<T>((value << 8) | bytes[index]);
    }
    return value;
}

uint8_t StreamBufRef::getInt8() const {
    uint8_t value = 0;
    getRaw(&value, 1);
    return value;
}

uint16_t StreamBufRef::getIntLE16() const {
    return getIntLE<uint16_t>();
}

uint32_t StreamBufRef::getIntLE32() const {
    return getIntLE<uint32_t>();
}

uint64_t StreamBufRef::getIntLE64() const {
    return getIntLE<uint64_t>();
}

uint16_t StreamBufRef::getIntBE16() const {
    return getIntBE<uint16_t>();
}

uint32_t StreamBufRef::getIntBE32() const {
    return getIntBE<uint32_t>();
}

uint64_t StreamBufRef::getIntBE64() const {
    return getIntBE<uint64_t>();
}

}  // namespace Velk
