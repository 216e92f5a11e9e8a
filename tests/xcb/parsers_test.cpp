// The connector's parsing steps on plain bytes: the calculator's mode line,
// the split of a STRING property value and the copy of WM_SIZE_HINTS values
// of each length and format.  No X server is involved.
#include "xcb/parsers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace {

using namespace std::string_literals;
using Velk::Xcb::SizeHints;

const std::string hdOutput =
    "# 1280x720 59.86 Hz (CVT 0.92M9) hsync: 44.77 kHz; pclk: 74.50 MHz\n"
    "Modeline \"1280x720_60.00\"   74.50  1280 1344 1472 1664  720 723 728 748 -hsync +vsync\n";

std::string modelineWithTimings(const std::string& timings) {
    return "Modeline \"t\" 74.50 " + timings;
}

TEST(CvtModeline, StartsAtTheKeywordAndRunsToTheEnd) {
    const std::string modeline = Velk::Xcb::cvtModeline(hdOutput);
    EXPECT_EQ(modeline.rfind("Modeline \"1280x720_60.00\"", 0), 0U);
    EXPECT_EQ(modeline.back(), '\n');
    EXPECT_THROW(Velk::Xcb::cvtModeline("# no mode line\n"), std::out_of_range);
}

TEST(CvtModeline, PixelClockIsTheThirdToken) {
    EXPECT_FLOAT_EQ(Velk::Xcb::cvtPixelClockMHz(Velk::Xcb::cvtModeline(hdOutput)), 74.5F);
    EXPECT_FLOAT_EQ(Velk::Xcb::cvtPixelClockMHz("Modeline \"x\" 712.75 3840"), 712.75F);
    EXPECT_THROW(Velk::Xcb::cvtPixelClockMHz("Modeline \"x\" fast"), std::invalid_argument);
    EXPECT_THROW(Velk::Xcb::cvtPixelClockMHz("Modeline \"x\""), std::invalid_argument);
    EXPECT_THROW(Velk::Xcb::cvtPixelClockMHz("Modeline \"x\" 1e60"), std::out_of_range);
}

TEST(CvtModeline, ModeCarriesTheCalculatorsTimings) {
    const auto mode = Velk::Xcb::cvtModeInfo(Velk::Xcb::cvtModeline(hdOutput));
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->dot_clock, 74500000U);
    EXPECT_EQ(mode->width, 1280);
    EXPECT_EQ(mode->hsync_start, 1344);
    EXPECT_EQ(mode->hsync_end, 1472);
    EXPECT_EQ(mode->htotal, 1664);
    EXPECT_EQ(mode->height, 720);
    EXPECT_EQ(mode->vsync_start, 723);
    EXPECT_EQ(mode->vsync_end, 728);
    EXPECT_EQ(mode->vtotal, 748);
    EXPECT_EQ(mode->mode_flags, 2U | 4U);
    EXPECT_EQ(mode->id, 0U);
    EXPECT_EQ(mode->hskew, 0);
    EXPECT_EQ(mode->name_len, 0);
}

TEST(CvtModeline, EachSyncTokenSetsItsOwnFlag) {
    const auto flagsOf = [](const std::string& tokens) {
        return Velk::Xcb::cvtModeInfo(modelineWithTimings("1 2 3 4 5 6 7 8 " + tokens))->mode_flags;
    };
    EXPECT_EQ(flagsOf("+hsync -vsync"), 1U | 8U);
    EXPECT_EQ(flagsOf("-hsync -vsync"), 2U | 8U);
    EXPECT_EQ(flagsOf("hsync +vsync"), 4U);
    EXPECT_EQ(flagsOf("+hsync vsync"), 1U);
    EXPECT_EQ(flagsOf("+vsync +hsync"), 0U) << "each token in its own place";
}

TEST(CvtModeline, NoVerticalSyncTokenGivesNoMode) {
    EXPECT_FALSE(Velk::Xcb::cvtModeInfo(modelineWithTimings("1 2 3 4 5 6 7 8 -hsync")));
    EXPECT_FALSE(Velk::Xcb::cvtModeInfo(modelineWithTimings("1 2 3 4 5 6 7 8")));
}

TEST(CvtModeline, TimingsAreTruncatedTowardZeroAndCutTo16Bits) {
    const auto mode = Velk::Xcb::cvtModeInfo(modelineWithTimings("1280.9 -1.5 65537 0x10 7e2 6 7 8 + +"));
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->width, 1280);
    EXPECT_EQ(mode->hsync_start, 65535) << "-1 cut to 16 bits";
    EXPECT_EQ(mode->hsync_end, 1);
    EXPECT_EQ(mode->htotal, 16) << "stod reads hexadecimal";
    EXPECT_EQ(mode->height, 700);
}

// The calculator's output is read as it comes: a timing past any integer
// range keeps its low 16 bits instead of overflowing a cast.
TEST(CvtModeline, TimingsPastTheIntegerRangeKeepTheirLow16Bits) {
    const auto mode = Velk::Xcb::cvtModeInfo(
        modelineWithTimings("5.051e208 9223372036854777856 -9223372036854777856 4294967297 5 6 7 8 + +"));
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->width, 0) << "a multiple of 2^16";
    EXPECT_EQ(mode->hsync_start, 2048) << "2^63 + 2^11";
    EXPECT_EQ(mode->hsync_end, 65536 - 2048);
    EXPECT_EQ(mode->htotal, 1);
}

TEST(CvtModeline, TimingThatIsInfiniteOrNanIsNoNumber) {
    EXPECT_THROW(Velk::Xcb::cvtModeInfo(modelineWithTimings("inf 2 3 4 5 6 7 8 + +")), std::invalid_argument);
    EXPECT_THROW(Velk::Xcb::cvtModeInfo(modelineWithTimings("1 2 3 4 -nan 6 7 8 + +")),
                 std::invalid_argument);
}

TEST(CvtModeline, ClockThatIsNanNegativeOrPast32BitsOfHertzThrows) {
    EXPECT_THROW(Velk::Xcb::cvtPixelClockMHz("Modeline \"x\" nan"), std::invalid_argument);
    EXPECT_THROW(Velk::Xcb::cvtModeInfo("Modeline \"x\" nan 1 2 3 4 5 6 7 8 + +"), std::invalid_argument);
    EXPECT_FLOAT_EQ(Velk::Xcb::cvtPixelClockMHz("Modeline \"x\" -74.5"), -74.5F);
    EXPECT_THROW(Velk::Xcb::cvtModeInfo("Modeline \"x\" -74.5 1 2 3 4 5 6 7 8 + +"), std::out_of_range);
    EXPECT_THROW(Velk::Xcb::cvtModeInfo("Modeline \"x\" 4295 1 2 3 4 5 6 7 8 + +"), std::out_of_range);
    const auto fastest = Velk::Xcb::cvtModeInfo("Modeline \"x\" 4294 1 2 3 4 5 6 7 8 + +");
    ASSERT_TRUE(fastest);
    EXPECT_NEAR(fastest->dot_clock, 4294000000.0, 256.0) << "single precision";
}

TEST(CvtModeline, TimingThatIsNoNumberThrows) {
    EXPECT_THROW(Velk::Xcb::cvtModeInfo(modelineWithTimings("1 2 three 4 5 6 7 8 -hsync +vsync")),
                 std::invalid_argument);
    EXPECT_THROW(Velk::Xcb::cvtModeInfo(modelineWithTimings("1 2 3")), std::invalid_argument);
}

TEST(PropertyWords, WholeWordsInOrderAndNoPartialOne) {
    using Words = std::list<uint32_t>;
    const uint32_t words[] = {1, 0xFFFFFFFF, 67};
    const std::string bytes(reinterpret_cast<const char*>(words), sizeof(words));
    EXPECT_EQ(Velk::Xcb::propertyWords(bytes), (Words{1, 0xFFFFFFFF, 67}));
    EXPECT_EQ(Velk::Xcb::propertyWords(bytes.substr(0, 11)), (Words{1, 0xFFFFFFFF}));
    EXPECT_TRUE(Velk::Xcb::propertyWords(bytes.substr(0, 3)).empty());
}

TEST(PropertyStrings, EachNulEndsExactlyOneElement) {
    using List = std::list<std::string>;
    EXPECT_EQ(Velk::Xcb::splitPropertyStrings("xterm\0XTerm\0"s), (List{"xterm", "XTerm"}));
    EXPECT_EQ(Velk::Xcb::splitPropertyStrings("a\0\0b"s), (List{"a", "", "b"}));
    EXPECT_EQ(Velk::Xcb::splitPropertyStrings("\0last"s), (List{"", "last"}));
    EXPECT_EQ(Velk::Xcb::splitPropertyStrings("\0"s), (List{""}));
    EXPECT_EQ(Velk::Xcb::splitPropertyStrings("one"), (List{"one"}));
    EXPECT_TRUE(Velk::Xcb::splitPropertyStrings("").empty());
}

// A value of words whose word i holds 100 + i, under the flags.
std::string hintValue(uint32_t flags, size_t count) {
    std::vector<uint32_t> words(count);
    for (size_t index = 0; index < count; ++index) {
        words[index] = static_cast<uint32_t>(100 + index);
    }
    words[0] = flags;
    return std::string(reinterpret_cast<const char*>(words.data()), count * sizeof(uint32_t));
}

SizeHints prefilledHints() {
    SizeHints hints;
    hints.flags = 0xFFFF;
    hints.maxAspectDenominator = 7;
    hints.baseWidth = 7;
    hints.baseHeight = 7;
    hints.windowGravity = 7;
    return hints;
}

TEST(SizeHintsCopy, EighteenWordsKeepTheTenIcccmFlags) {
    SizeHints hints = prefilledHints();
    ASSERT_TRUE(Velk::Xcb::copySizeHints(hintValue(0xFFFFFFFF, 18), 32, hints));
    EXPECT_EQ(hints.flags, 0x3FFU);
    EXPECT_EQ(hints.x, 101);
    EXPECT_EQ(hints.maxAspectDenominator, 114);
    EXPECT_EQ(hints.baseWidth, 115);
    EXPECT_EQ(hints.baseHeight, 116);
    EXPECT_EQ(hints.windowGravity, 117U);
}

TEST(SizeHintsCopy, FifteenWordsClearBaseSizeAndGravity) {
    SizeHints hints = prefilledHints();
    ASSERT_TRUE(Velk::Xcb::copySizeHints(hintValue(0x3FF, 15), 32, hints));
    EXPECT_EQ(hints.flags, 0xFFU);
    EXPECT_EQ(hints.maxAspectDenominator, 114);
    EXPECT_EQ(hints.baseWidth, 0);
    EXPECT_EQ(hints.baseHeight, 0);
    EXPECT_EQ(hints.windowGravity, 0U);
}

TEST(SizeHintsCopy, ShorterValuesLeaveTheWordsPastThem) {
    SizeHints hints = prefilledHints();
    ASSERT_TRUE(Velk::Xcb::copySizeHints(hintValue(0x1, 3), 32, hints));
    EXPECT_EQ(hints.flags, 0x1U);
    EXPECT_EQ(hints.y, 102);
    EXPECT_EQ(hints.maxAspectDenominator, 7);
    EXPECT_EQ(hints.windowGravity, 0U);
}

TEST(SizeHintsCopy, LongerValuesAreCutAtEighteenWords) {
    SizeHints hints;
    ASSERT_TRUE(Velk::Xcb::copySizeHints(hintValue(0x200, 20), 32, hints));
    EXPECT_EQ(hints.flags, 0x200U);
    EXPECT_EQ(hints.windowGravity, 117U);
}

TEST(SizeHintsCopy, SmallerItemsCountByItemsNotWords) {
    // 18 single-byte items fill the first four and a half words only, but
    // count as a full record.
    const std::string bytes(18, '\x01');
    SizeHints hints = prefilledHints();
    ASSERT_TRUE(Velk::Xcb::copySizeHints(bytes, 8, hints));
    EXPECT_EQ(hints.flags, 0x101U);
    EXPECT_EQ(hints.width, 0x01010101);
    EXPECT_EQ(hints.windowGravity, 7U);

    hints = prefilledHints();
    ASSERT_TRUE(Velk::Xcb::copySizeHints(bytes, 16, hints)) << "9 items of 16 bits";
    EXPECT_EQ(hints.flags, 0x01U);
    EXPECT_EQ(hints.windowGravity, 0U);
}

TEST(SizeHintsCopy, FormatWithoutItemsCopiesNothing) {
    SizeHints hints = prefilledHints();
    EXPECT_FALSE(Velk::Xcb::copySizeHints(hintValue(0x3FF, 18), 0, hints));
    EXPECT_EQ(hints.flags, 0xFFFFU);
    EXPECT_EQ(hints.windowGravity, 7U);
}

}  // namespace
