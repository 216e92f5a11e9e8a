// Byte-buffer writer and reader: byte order of every integer width, the bounds
// of the reader and its exact exceptions and messages.
#include "utils/streambuf.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "logger.h"
#include "test_support.h"

namespace {

using VelkTest::LogCapture;

using namespace Velk;
using Bytes = std::vector<uint8_t>;

// The exception's type and what(), and one error line with the message.
template <typename Exception, typename Call>
void expectFailure(Call call, const char* what, const std::string& message) {
    LogCapture log;
    try {
        call();
        ADD_FAILURE() << "no exception, expected " << what;
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), what);
    }
    const std::string text = log.finish();
    EXPECT_NE(text.find(message + "\n"), std::string::npos) << text;
}

TEST(StreamBufWriter, IntegersAreWrittenInTheirByteOrder) {
    StreamBuf buf(4);
    buf.putIntBE32(0x01020304);
    buf.putIntLE32(0x01020304);
    EXPECT_EQ(buf.rawbuf(), (Bytes{1, 2, 3, 4, 4, 3, 2, 1}));

    buf.reset();
    buf.putInt8(0xab);
    buf.putIntLE16(0x0102);
    buf.putIntBE16(0x0102);
    buf.putIntLE64(0x0102030405060708ULL);
    buf.putIntBE64(0x0102030405060708ULL);
    EXPECT_EQ(buf.rawbuf(), (Bytes{0xab, 2, 1, 1, 2, 8, 7, 6, 5, 4, 3, 2, 1, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(StreamBufWriter, RawAndZeroBytesAppendAtTheEnd) {
    StreamBuf buf;
    const char text[] = "abc";
    buf.putRaw(text, 3);
    buf.putRaw(nullptr, 0);
    buf.putZero(2);
    buf.putZero(0);
    buf.putRaw(text, 1);
    EXPECT_EQ(buf.rawbuf(), (Bytes{'a', 'b', 'c', 0, 0, 'a'}));
    EXPECT_EQ(buf.size(), 6U);
    EXPECT_EQ(buf.data(), buf.rawbuf().data());
}

TEST(StreamBufWriter, ResetEmptiesAndKeepsTheCapacity) {
    StreamBuf buf(64);
    EXPECT_GE(buf.capacity(), 64U);
    buf.putZero(100);
    const size_t capacity = buf.capacity();
    buf.reset();
    EXPECT_EQ(buf.size(), 0U);
    EXPECT_EQ(buf.capacity(), capacity);
}

TEST(StreamBufReader, RoundTripOfEveryWidth) {
    StreamBuf buf;
    buf.putInt8(0x7f);
    buf.putIntLE16(0xbeef);
    buf.putIntBE16(0xbeef);
    buf.putIntLE32(0xdeadbeef);
    buf.putIntBE32(0xdeadbeef);
    buf.putIntLE64(0x8877665544332211ULL);
    buf.putIntBE64(0x8877665544332211ULL);

    const StreamBufRef ref(buf.data(), buf.size());
    EXPECT_EQ(ref.peek(), 0x7f);
    EXPECT_EQ(ref.getInt8(), 0x7f);
    EXPECT_EQ(ref.getIntLE16(), 0xbeef);
    EXPECT_EQ(ref.getIntBE16(), 0xbeef);
    EXPECT_EQ(ref.getIntLE32(), 0xdeadbeefU);
    EXPECT_EQ(ref.getIntBE32(), 0xdeadbeefU);
    EXPECT_EQ(ref.getIntLE64(), 0x8877665544332211ULL);
    EXPECT_EQ(ref.getIntBE64(), 0x8877665544332211ULL);
    EXPECT_EQ(ref.last(), 0U);
}

TEST(StreamBufReader, ShortReadThrowsAndKeepsThePosition) {
    const uint8_t bytes[3] = {0x12, 0x34, 0x56};
    const StreamBufRef ref(bytes, sizeof(bytes));
    EXPECT_EQ(ref.getIntBE16(), 0x1234);
    EXPECT_EQ(ref.last(), 1U);

    expectFailure<std::invalid_argument>([&] { ref.getIntLE16(); }, "getRaw",
                                         "getRaw: incorrect len, last: 1, len: 2");
    EXPECT_EQ(ref.last(), 1U);
    EXPECT_EQ(ref.data(), bytes + 2);
    expectFailure<std::invalid_argument>([&] { ref.getIntBE64(); }, "getRaw",
                                         "getRaw: incorrect len, last: 1, len: 8");
    EXPECT_EQ(ref.getInt8(), 0x56);
    expectFailure<std::invalid_argument>([&] { ref.getInt8(); }, "getRaw",
                                         "getRaw: incorrect len, last: 0, len: 1");
}

TEST(StreamBufReader, SkipAndGetBytesCheckTheirLength) {
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    const StreamBufRef ref(bytes, sizeof(bytes));
    ref.skip(1);
    EXPECT_EQ(ref.getBytes(2), (Bytes{2, 3}));
    EXPECT_TRUE(ref.getBytes(0).empty());

    expectFailure<std::invalid_argument>([&] { ref.skip(3); }, "skip",
                                         "skip: incorrect len, last: 2, len: 3");
    expectFailure<std::invalid_argument>([&] { ref.getBytes(10); }, "getBytes",
                                         "getBytes: incorrect len, last: 2, len: 10");
    uint8_t out[4] = {};
    expectFailure<std::invalid_argument>([&] { ref.getRaw(out, 4); }, "getRaw",
                                         "getRaw: incorrect len, last: 2, len: 4");
    EXPECT_EQ(ref.last(), 2U);
    ref.getRaw(out, 2);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[1], 5);
}

TEST(StreamBufReader, PeekAtTheEndThrowsOutOfRange) {
    const uint8_t byte = 9;
    const StreamBufRef ref(&byte, 1);
    EXPECT_EQ(ref.peek(), 9);
    EXPECT_EQ(ref.last(), 1U);
    ref.skip(1);
    expectFailure<std::out_of_range>([&] { ref.peek(); }, "peek", "peek: end stream");
}

TEST(StreamBufReader, EmptyRangeIsRejectedByTheConstructorOnly) {
    const uint8_t byte = 1;
    expectFailure<std::invalid_argument>([&] { StreamBufRef ref(nullptr, 4); }, "StreamBufRef",
                                         "StreamBufRef: empty size");
    expectFailure<std::invalid_argument>([&] { StreamBufRef ref(&byte, 0); }, "StreamBufRef",
                                         "StreamBufRef: empty size");

    StreamBufRef ref(&byte, 1);
    ref.reset(nullptr, 0);
    EXPECT_EQ(ref.last(), 0U);
    EXPECT_THROW(ref.peek(), std::out_of_range);
    EXPECT_THROW(ref.getInt8(), std::invalid_argument);
    EXPECT_TRUE(ref.getBytes(0).empty());
    ref.reset(&byte, 1);
    EXPECT_EQ(ref.getInt8(), 1);
}

TEST(StreamBufReader, MovesCopyThePositionAndLeaveTheSourceValid) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    StreamBufRef source(bytes, sizeof(bytes));
    source.skip(1);

    StreamBufRef moved(std::move(source));
    EXPECT_EQ(moved.last(), 3U);
    EXPECT_EQ(source.last(), 3U);  // NOLINT(bugprone-use-after-move): a moved-from reader stays valid
    EXPECT_EQ(source.getInt8(), 2);

    const uint8_t other[1] = {7};
    StreamBufRef assigned(other, 1);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.getInt8(), 2);
    EXPECT_EQ(moved.getInt8(), 2);  // NOLINT(bugprone-use-after-move): a moved-from reader stays valid
}

}  // namespace
