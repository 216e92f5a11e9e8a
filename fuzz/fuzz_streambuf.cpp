// The byte reader driven by a script from the input over the rest of the
// input, against a plain model of its position.  std::invalid_argument and
// std::out_of_range are its documented answers to reads past the end; they
// must come exactly then and leave the position alone.  Every integer read
// is written back through StreamBuf, which must give the same bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <stdexcept>

#include "fuzz_support.h"
#include "utils/streambuf.h"

using VelkFuzz::require;

namespace {

struct Model {
    const std::vector<uint8_t>& bytes;
    size_t pos = 0;

    size_t last() const { return bytes.size() - pos; }

    uint64_t decode(size_t width, bool littleEndian) const {
        uint64_t value = 0;
        for (size_t index = 0; index < width; ++index) {
            const size_t at = littleEndian ? pos + width - 1 - index : pos + index;
            value = (value << 8) | bytes[at];
        }
        return value;
    }
};

struct IntRead {
    size_t width;
    bool littleEndian;
    std::function<uint64_t(const Velk::StreamBufRef&)> get;
    std::function<void(Velk::StreamBuf&, uint64_t)> put;
};

const std::vector<IntRead>& intReads() {
    using Velk::StreamBuf;
    using Velk::StreamBufRef;
    static const std::vector<IntRead> reads = {
        {1, true, [](const StreamBufRef& r) { return r.getInt8(); },
         [](StreamBuf& b, uint64_t v) { b.putInt8(static_cast<uint8_t>(v)); }},
        {2, true, [](const StreamBufRef& r) { return r.getIntLE16(); },
         [](StreamBuf& b, uint64_t v) { b.putIntLE16(static_cast<uint16_t>(v)); }},
        {4, true, [](const StreamBufRef& r) { return r.getIntLE32(); },
         [](StreamBuf& b, uint64_t v) { b.putIntLE32(static_cast<uint32_t>(v)); }},
        {8, true, [](const StreamBufRef& r) { return r.getIntLE64(); },
         [](StreamBuf& b, uint64_t v) { b.putIntLE64(v); }},
        {2, false, [](const StreamBufRef& r) { return r.getIntBE16(); },
         [](StreamBuf& b, uint64_t v) { b.putIntBE16(static_cast<uint16_t>(v)); }},
        {4, false, [](const StreamBufRef& r) { return r.getIntBE32(); },
         [](StreamBuf& b, uint64_t v) { b.putIntBE32(static_cast<uint32_t>(v)); }},
        {8, false, [](const StreamBufRef& r) { return r.getIntBE64(); },
         [](StreamBuf& b, uint64_t v) { b.putIntBE64(v); }},
    };
    return reads;
}

// Throws of the expected kind exactly when the model says so; the position
// stays where it was.
template <typename Exception, typename Read>
bool readsOrThrows(const Velk::StreamBufRef& ref, Model& model, size_t need, Read read) {
    const size_t before = ref.last();
    try {
        read();
    } catch (const Exception&) {
        require(need > model.last(), "a read that fits does not throw");
        require(ref.last() == before, "a refused read leaves the position");
        return false;
    }
    require(need <= model.last(), "a read past the end throws");
    return true;
}

void readInt(const Velk::StreamBufRef& ref, Model& model, const IntRead& read, Velk::StreamBuf& written,
             std::vector<uint8_t>& consumed) {
    uint64_t value = 0;
    if (readsOrThrows<std::invalid_argument>(ref, model, read.width, [&] { value = read.get(ref); })) {
        require(value == model.decode(read.width, read.littleEndian), "the integer has the model's value");
        consumed.insert(consumed.end(), model.bytes.begin() + static_cast<std::ptrdiff_t>(model.pos),
                        model.bytes.begin() + static_cast<std::ptrdiff_t>(model.pos + read.width));
        read.put(written, value);
        model.pos += read.width;
    }
}

void readRange(const Velk::StreamBufRef& ref, Model& model, uint8_t kind, size_t len) {
    const auto* expected = model.bytes.data() + std::min(model.pos, model.bytes.size());
    bool done = false;
    if (kind == 0) {
        std::vector<uint8_t> target(std::min(len, model.last()) + 1, 0xA5);
        done = readsOrThrows<std::invalid_argument>(ref, model, len, [&] { ref.getRaw(target.data(), len); });
        if (done) {
            require(std::equal(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(len), expected),
                    "getRaw copies the bytes");
        }
        const bool untouched = std::all_of(target.begin(), target.end(), [](uint8_t b) { return b == 0xA5; });
        require(done || untouched, "a refused getRaw writes nothing");
    } else if (kind == 1) {
        std::vector<uint8_t> got;
        done = readsOrThrows<std::invalid_argument>(ref, model, len, [&] { got = ref.getBytes(len); });
        if (done) {
            require(got == std::vector<uint8_t>(expected, expected + len), "getBytes returns the bytes");
        }
    } else {
        done = readsOrThrows<std::invalid_argument>(ref, model, len, [&] { ref.skip(len); });
    }
    if (done) {
        model.pos += len;
    }
}

void peek(const Velk::StreamBufRef& ref, const Model& model) {
    try {
        require(ref.peek() == model.bytes[model.pos], "peek gives the next byte");
        require(model.last() > 0, "peek at the end throws");
    } catch (const std::out_of_range&) {
        require(model.last() == 0, "peek before the end does not throw");
    }
}

size_t lengthOf(uint8_t code) {
    return code == 0xFF ? std::numeric_limits<size_t>::max() : code;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VelkFuzz::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const auto script = provider.ConsumeBytes<uint8_t>(2 * provider.ConsumeIntegralInRange<size_t>(0, 64));
    const auto bytes = provider.ConsumeRemainingBytes<uint8_t>();

    if (bytes.empty()) {
        try {
            Velk::StreamBufRef refused(bytes.data(), bytes.size());
            require(false, "an empty range is refused");
        } catch (const std::invalid_argument&) {
        }
        return 0;
    }

    Velk::StreamBufRef ref(bytes.data(), bytes.size());
    Model model{bytes};
    Velk::StreamBuf written;
    std::vector<uint8_t> consumed;
    for (size_t step = 0; step + 1 < script.size(); step += 2) {
        const uint8_t op = script[step] % 12;
        if (op < 7) {
            readInt(ref, model, intReads()[op], written, consumed);
        } else if (op < 10) {
            readRange(ref, model, static_cast<uint8_t>(op - 7), lengthOf(script[step + 1]));
        } else if (op == 10) {
            peek(ref, model);
        } else {
            const Velk::StreamBufRef moved(std::move(ref));
            // The moved-from reader stays valid: a move copies the two pointers.
            // NOLINTNEXTLINE(bugprone-use-after-move)
            require(moved.last() == model.last() && ref.last() == model.last(), "a move copies the position");
        }
        require(ref.last() == model.last(), "the reader follows the model");
        require(ref.data() == bytes.data() + model.pos, "data() is the read position");
    }
    require(written.rawbuf() == consumed, "integers written back give their bytes");
    return 0;
}
