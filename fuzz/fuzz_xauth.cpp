// The X authority reader on a file made of the input, against a model of the
// first entry's layout: family, three length-prefixed fields skipped, then
// the length-prefixed cookie, big-endian lengths, zeros past the end.
#include <algorithm>

#include "fuzz_support.h"
#include "utils/session.h"

using VelkFuzz::require;

namespace {

// Reads as a stream does: once a read or skip runs into the end, every later
// read gives nothing.
class EntryModel {
public:
    EntryModel(const uint8_t* data, size_t size) : bytes(data), length(size) {}

    void skip(size_t count) {
        if (atEnd) {
            return;
        }
        if (count > length - pos) {
            atEnd = true;
        }
        pos = std::min(length, pos + count);
    }

    size_t readLength() {
        uint8_t pair[2] = {0, 0};
        readInto(pair, 2);
        return static_cast<size_t>((pair[0] << 8) | pair[1]);
    }

    void readInto(uint8_t* target, size_t count) {
        if (atEnd) {
            return;
        }
        const size_t available = std::min(count, length - pos);
        std::copy_n(bytes + pos, available, target);
        pos += available;
        atEnd = available < count;
    }

private:
    const uint8_t* bytes;
    size_t length;
    size_t pos = 0;
    bool atEnd = false;
};

std::vector<uint8_t> expectedCookie(const uint8_t* data, size_t size) {
    EntryModel entry(data, size);
    entry.skip(2);
    for (int field = 0; field < 3; ++field) {
        entry.skip(entry.readLength());
    }
    std::vector<uint8_t> cookie(entry.readLength(), 0);
    entry.readInto(cookie.data(), cookie.size());
    return cookie;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VelkFuzz::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const VelkFuzz::ScratchFile file("xauth");
    const auto cookie = Velk::Utils::readXauthfile(file.write(data, size));
    require(cookie == expectedCookie(data, size), "the cookie of the first entry, zeros past the end");
    return 0;
}
