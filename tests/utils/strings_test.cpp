// Strings and encodings: every listed edge case, the bad inputs of each decoder
// with their exact messages and exceptions, and the mended stringReplace.
#include "utils/strings.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "logger.h"
#include "test_support.h"

namespace {

using VelkTest::LogCapture;

using namespace Velk;
using Bytes = std::vector<uint8_t>;

// The plain rule: the leftmost occurrence, searched from the start,
// until there is none.  Only for inputs on which it ends.
std::string referenceReplace(std::string text, const std::string& pattern, const std::string& replacement) {
    for (size_t pos = text.find(pattern); pos != std::string::npos; pos = text.find(pattern)) {
        text.replace(pos, pattern.size(), replacement);
    }
    return text;
}

TEST(CaseMapping, OnlyAsciiLettersChange) {
    EXPECT_EQ(Utils::stringUpper("abc xyz-09"), "ABC XYZ-09");
    EXPECT_EQ(Utils::stringLower("ABC XYZ-09"), "abc xyz-09");
    EXPECT_EQ(Utils::stringUpper("café ñ"), "CAFé ñ");
    EXPECT_EQ(Utils::stringLower("CAFÉ Ñ"), "cafÉ Ñ");
    EXPECT_EQ(Utils::stringUpper(std::string("a\0b\xff", 4)), std::string("A\0B\xff", 4));
    EXPECT_EQ(Utils::stringUpper(""), "");
}

TEST(Quoting, QuoteAndBackslashAreEscapedAndReadBack) {
    const std::string text = "a\"b";
    const std::string quoted = Utils::stringQuoted(text);
    EXPECT_EQ(quoted, "\"a\\\"b\"");
    EXPECT_EQ(Utils::stringUnquoted(quoted), text);

    EXPECT_EQ(Utils::stringQuoted("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(Utils::stringUnquoted(Utils::stringQuoted("a\\b c")), "a\\b c");
    EXPECT_EQ(Utils::stringQuoted(""), "\"\"");
    EXPECT_EQ(Utils::stringUnquoted("\"\""), "");
}

TEST(Quoting, UnquotedTextGivesItsFirstWord) {
    EXPECT_EQ(Utils::stringUnquoted("first second"), "first");
    EXPECT_EQ(Utils::stringUnquoted("  lead"), "lead");
    EXPECT_EQ(Utils::stringUnquoted(""), "");
    EXPECT_EQ(Utils::stringUnquoted("\"open only"), "open only");
}

TEST(StringReplace, EveryOccurrenceIsReplaced) {
    EXPECT_EQ(Utils::stringReplace("%{socket} --x %{socket}", "%{socket}", "/run/s"), "/run/s --x /run/s");
    EXPECT_EQ(Utils::stringReplace("X-X", "X", 7), "7-7");
    EXPECT_EQ(Utils::stringReplace(":%{display}", "%{display}", -12), ":-12");
    EXPECT_EQ(Utils::stringReplace("none here", "%{home}", "/h"), "none here");
    EXPECT_EQ(Utils::stringReplace("", "x", "y"), "");
    EXPECT_EQ(Utils::stringReplace("aaaa", "a", ""), "");
    EXPECT_EQ(Utils::stringReplace("abab", "ab", "xyz"), "xyzxyz");
}

TEST(StringReplace, OccurrencesFormedWithNeighboursAreReplacedToo) {
    // Searching from the start every time.
    EXPECT_EQ(Utils::stringReplace("aab", "ab", "b"), "b");
    EXPECT_EQ(Utils::stringReplace("aaabbb", "ab", ""), "");
    EXPECT_EQ(Utils::stringReplace("%%{x}}", "%{x}", "{x"), "{x");
    EXPECT_EQ(Utils::stringReplace("xxabcc", "abc", "c"), "xxcc");
    EXPECT_EQ(Utils::stringReplace("aabab", "ab", "ba"), "bbaaa");
}

// The mended fault: these inputs never ended under the search-from-the-start rule.
TEST(StringReplace, EmptyPatternReturnsTheTextUnchanged) {
    EXPECT_EQ(Utils::stringReplace("abc", "", "x"), "abc");
    EXPECT_EQ(Utils::stringReplace("", "", "x"), "");
    EXPECT_EQ(Utils::stringReplace("abc", "", 5), "abc");
}

TEST(StringReplace, ReplacementContainingThePatternReplacesEachOriginalOccurrenceOnce) {
    EXPECT_EQ(Utils::stringReplace("a-a", "a", "aa"), "aa-aa");
    EXPECT_EQ(Utils::stringReplace("x", "x", "x"), "x");
    EXPECT_EQ(Utils::stringReplace("%{home}/%{home}", "%{home}", "[%{home}]"), "[%{home}]/[%{home}]");
    EXPECT_EQ(Utils::stringReplace("aaa", "aa", "aab"), "aaba") << "left to right, not overlapping";
    EXPECT_EQ(Utils::stringReplace("no match", "zz", "zzz"), "no match");
    EXPECT_EQ(Utils::stringReplace("1", "1", 11), "11");
    EXPECT_EQ(Utils::stringReplace("1-1", "1", -1), "-1--1");
}

TEST(StringReplace, OccurrencesThatNeighboursFormForEverStillEnd) {
    // "aaba" -> "abaab" -> "bbaababb" -> ... never runs out of "aba".
    EXPECT_EQ(Utils::stringReplace("aaba", "aba", "baab"), "abaab");
    EXPECT_EQ(Utils::stringReplace("xaabay", "aba", "baab"), "xabaaby");
}

// The plain rule on every input where it ends, over a small alphabet.
TEST(StringReplace, AgreesWithThePlainRuleWhereverThatEnds) {
    const std::vector<std::string> words = {"", "a", "b", "ab", "ba", "aa", "bb", "aab", "abb", "bab", "aba"};
    std::vector<std::string> texts;
    for (const auto& first : words) {
        for (const auto& second : words) {
            texts.push_back(first);
            texts.back().append(second).append(first);
        }
    }
    size_t checked = 0;
    for (const auto& pattern : words) {
        for (const auto& replacement : words) {
            // Replacements no longer than the pattern shrink or keep the text
            // and cannot contain the pattern unless equal to it: always ends.
            if (pattern.empty() || replacement.size() >= pattern.size()) {
                continue;
            }
            for (const auto& text : texts) {
                EXPECT_EQ(Utils::stringReplace(text, pattern, replacement),
                          referenceReplace(text, pattern, replacement))
                    << text << " / " << pattern << " / " << replacement;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 1000U);

    // Longer replacements that end.
    EXPECT_EQ(Utils::stringReplace("aab", "ab", "bba"), referenceReplace("aab", "ab", "bba"));
    EXPECT_EQ(Utils::stringReplace("baa", "ba", "abb"), referenceReplace("baa", "ba", "abb"));
}

TEST(StringReplace, ManyOccurrencesInALongTextStayLinear) {
    const std::string text(200000, 'a');
    EXPECT_EQ(Utils::stringReplace(text, "a", "b"), std::string(200000, 'b'));
    EXPECT_EQ(Utils::stringReplace(text, "a", "aa"), std::string(400000, 'a'));
}

TEST(UnpackString, PercentEscapes) {
    EXPECT_EQ(Utils::unpackString("a%41b", 16), "aAb");
    EXPECT_EQ(Utils::unpackString("100%", 16), "100%");
    EXPECT_EQ(Utils::unpackString("%zz", 16), "%zz");
    EXPECT_EQ(Utils::unpackString("%4", 16), "%4");
    EXPECT_EQ(Utils::unpackString("%41%4", 16), "A%4");
    EXPECT_EQ(Utils::unpackString("%41%42%43", 16), "ABC");
    EXPECT_EQ(Utils::unpackString("%2f%2F", 16), "//");
    EXPECT_EQ(Utils::unpackString("no escapes", 16), "no escapes");
    EXPECT_EQ(Utils::unpackString("", 16), "");
}

TEST(UnpackString, BadDigitsKeepTheEscapeOrStopTheNumber) {
    EXPECT_EQ(Utils::unpackString("%zz41", 16), "%zz41") << "rest zz41 has no escape";
    EXPECT_EQ(Utils::unpackString("%%41", 16), "%A");
    EXPECT_EQ(Utils::unpackString("%4g!", 16), std::string("\x04!")) << "the full digit count is consumed";
    EXPECT_EQ(Utils::unpackString("x%00y", 16), std::string("x\0y", 3));
    EXPECT_EQ(Utils::unpackString("%-1z", 16), std::string("\xffz")) << "a sign is accepted";
    EXPECT_EQ(Utils::unpackString("% 9z", 16), std::string("\x09z")) << "white space is accepted";
    EXPECT_EQ(Utils::unpackString("ab%", 16), "ab%");
    EXPECT_EQ(Utils::unpackString("abc%4", 16), std::string("abc\x04"));
}

TEST(UnpackString, OctalEscapes) {
    EXPECT_EQ(Utils::unpackString("\\101\\102", 8), "AB");
    EXPECT_EQ(Utils::unpackString("x\\040y", 8), "x y");
    EXPECT_EQ(Utils::unpackString("\\10", 8), "\\10") << "shorter than 4";
    EXPECT_EQ(Utils::unpackString("\\101\\10", 8), "A\\10");
    EXPECT_EQ(Utils::unpackString("\\777", 8), "\xff") << "low 8 bits";
    EXPECT_EQ(Utils::unpackString("\\9ab", 8), "\\9ab");
    EXPECT_EQ(Utils::unpackString("\\8\\101", 8), "\\8A");
}

TEST(UnpackString, UnknownBaseIsLoggedAndIgnored) {
    LogCapture log;
    EXPECT_EQ(Utils::unpackString("%41", 10), "%41");
    EXPECT_EQ(VelkTest::countOccurrences(log.finish(), "unpackString: unknown base: 10\n"), 1U);
}

TEST(UnpackString, LongRunOfEscapesNeedsNoDeepRecursion) {
    std::string text;
    std::string expected;
    for (int index = 0; index < 200000; ++index) {
        text += "%41";
        expected += 'A';
    }
    EXPECT_EQ(Utils::unpackString(text, 16), expected);
    EXPECT_EQ(Utils::unpackString(std::string(300000, '%'), 16), std::string(300000, '%'));
}

TEST(HexString, BothFormsWithSeparatorAndPrefix) {
    const Bytes bytes = {0x0a, 0xff};
    EXPECT_EQ(Utils::hexString(bytes, ":", true), "0x0a:0xff");
    EXPECT_EQ(Utils::hexString(bytes, "", false), "0aff");
    EXPECT_EQ(Utils::hexString(bytes.data(), bytes.size(), ", ", false), "0a, ff");
    EXPECT_EQ(Utils::hexString(Bytes{0}, ":", true), "0x00");
    EXPECT_EQ(Utils::hexString(Bytes{}, ":", true), "");
    EXPECT_EQ(Utils::hexString(nullptr, 0, ":", true), "");
}

TEST(Hexstr2bytes, PairsFromTheStart) {
    LogCapture log;
    EXPECT_EQ(Utils::hexstr2bytes("0aff"), (Bytes{0x0a, 0xff}));
    EXPECT_EQ(Utils::hexstr2bytes("abc"), (Bytes{0xab, 0x0c}));
    EXPECT_EQ(Utils::hexstr2bytes("0A0b"), (Bytes{0x0a, 0x0b}));
    EXPECT_TRUE(Utils::hexstr2bytes("").empty());
    EXPECT_EQ(log.finish(), "") << "no warning for good or empty text";
}

TEST(Hexstr2bytes, BadPairsGiveZeroAndOneWarningEach) {
    LogCapture log;
    EXPECT_EQ(Utils::hexstr2bytes("zz10"), (Bytes{0x00, 0x10}));
    std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOccurrences(text, "hexstr2bytes: failed, strhex: `zz10'\n"), 1U) << text;
    EXPECT_EQ(VelkTest::countOccurrences(text, "hexstr2bytes"), 1U) << text;

    LogCapture second;
    EXPECT_EQ(Utils::hexstr2bytes("0xg1zzz"), (Bytes{0x00, 0x00, 0x00, 0x00}));
    text = second.finish();
    EXPECT_EQ(VelkTest::countOccurrences(text, "hexstr2bytes: failed, strhex: `0xg1zzz'\n"), 3U) << text;

    EXPECT_EQ(Utils::hexstr2bytes("1g"), (Bytes{0x01})) << "stops at the first non-digit";
    EXPECT_EQ(Utils::hexstr2bytes(" f-1"), (Bytes{0x0f, 0xff})) << "white space and sign";
}

TEST(Unicode, Utf16ToUtf8) {
    EXPECT_EQ(Utils::unicode2string(u"abc"), "abc");
    EXPECT_EQ(Utils::unicode2string(u"\u00e9\u4e2d"), "\xc3\xa9\xe4\xb8\xad");
    EXPECT_EQ(Utils::unicode2string(u"\U0001F600"), "\xf0\x9f\x98\x80") << "surrogate pair";
    EXPECT_EQ(Utils::unicode2string(u""), "");
}

TEST(Unicode, LoneSurrogateRaisesToBytesRangeError) {
    for (const std::u16string& text :
         {std::u16string(1, u'\xd800'), std::u16string(u"a") + char16_t(0xdc00),
          std::u16string(1, u'\xd800') + u"b", std::u16string(u"abc") + char16_t(0xdbff),
          std::u16string(1, u'\xdfff')}) {
        try {
            Utils::unicode2string(text);
            ADD_FAILURE() << "no exception";
        } catch (const std::range_error& error) {
            EXPECT_STREQ(error.what(), "wstring_convert::to_bytes");
        }
    }
}

TEST(Unicode, Utf8ToUcs2) {
    EXPECT_EQ(Utils::string2unicode("abc"), u"abc");
    EXPECT_EQ(Utils::string2unicode("\xc3\xa9\xe4\xb8\xad"), u"\u00e9\u4e2d");
    EXPECT_EQ(Utils::string2unicode(""), u"");
    EXPECT_EQ(Utils::string2unicode(std::string_view("abcd").substr(1, 2)), u"bc");
}

TEST(Unicode, InvalidUtf8OrBeyondTheBasicPlaneRaisesFromBytesRangeError) {
    const std::vector<std::string> texts = {
        "\xf0\x9f\x98\x80",  // U+1F600: above U+FFFF
        "\xff",              // never valid
        "\xc3",              // cut sequence
        "a\x80",             // lone continuation byte
        "\xc0\xaf",          // overlong
        "\xe4\xb8",          // cut three-byte sequence
    };
    for (const auto& text : texts) {
        try {
            Utils::string2unicode(text);
            ADD_FAILURE() << "no exception for "
                          << Utils::hexString(Bytes(text.begin(), text.end()), " ", true);
        } catch (const std::range_error& error) {
            EXPECT_STREQ(error.what(), "wstring_convert::from_bytes");
        }
    }
}

TEST(Unicode, StandardConverterQuirksAreKept) {
    EXPECT_EQ(Utils::string2unicode("\xed\xa0\x80"), std::u16string(1, u'\xd800')) << "encoded surrogate";
    EXPECT_EQ(Utils::string2unicode("\xef\xbb\xbf"
                                    "a"),
              u"\ufeffa")
        << "BOM kept";
    EXPECT_EQ(Utils::string2unicode(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_EQ(Utils::unicode2string(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(Unicode, UnitsToBytesWithTerminator) {
    EXPECT_EQ(Utils::unicode2bytes(u"AB", true), (Bytes{0x41, 0, 0x42, 0, 0, 0}));
    EXPECT_EQ(Utils::unicode2bytes(u"AB", false), (Bytes{0, 0x41, 0, 0x42, 0, 0}));
    EXPECT_EQ(Utils::unicode2bytes(u"\u1234", true), (Bytes{0x34, 0x12, 0, 0}));
    EXPECT_EQ(Utils::unicode2bytes(u"", true), (Bytes{0, 0}));
}

TEST(Unicode, BytesToUnitsUpToTheFirstZero) {
    const Bytes le = {0x41, 0, 0x42, 0, 0, 0, 0x43, 0};
    EXPECT_EQ(Utils::bytes2unicode(le, true), u"AB");
    EXPECT_EQ(Utils::bytes2unicode(Bytes{0, 0x41, 0x12, 0x34}, false), u"A\u1234");
    EXPECT_EQ(Utils::bytes2unicode(Bytes{}, true), u"");
    EXPECT_EQ(Utils::bytes2unicode(nullptr, 0, true), u"");
    EXPECT_EQ(Utils::bytes2unicode(Utils::unicode2bytes(u"round", false), false), u"round");
}

TEST(Unicode, OddLengthDropsTheLastByteWithOneWarning) {
    const Bytes bytes = {0x41, 0x00, 0x42, 0x00, 0x43};
    LogCapture log;
    EXPECT_EQ(Utils::bytes2unicode(bytes, true), u"AB");
    EXPECT_EQ(Utils::bytes2unicode(bytes.data(), 1, true), u"");
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOccurrences(text, "bytes2unicode: length not aligned, length: 5\n"), 1U) << text;
    EXPECT_EQ(VelkTest::countOccurrences(text, "bytes2unicode: length not aligned, length: 1\n"), 1U) << text;
}

TEST(MultiString, ZeroSeparatedStrings) {
    const auto list = [](const std::string& bytes) {
        return Utils::bytesToMultiString(bytes.data(), bytes.size());
    };
    using List = std::list<std::string>;
    EXPECT_EQ(list(std::string("a\0b\0", 4)), (List{"a", "b"}));
    EXPECT_EQ(list(std::string("a\0\0b", 4)), (List{"a", "", "b"}));
    EXPECT_EQ(list("abc"), (List{"abc"}));
    EXPECT_EQ(list(""), List{});
    EXPECT_EQ(list(std::string("\0", 1)), (List{""}));
    EXPECT_EQ(list(std::string("\0\0", 2)), (List{"", ""}));
    EXPECT_EQ(list(std::string("ab\0cd", 5)), (List{"ab", "cd"}));
    EXPECT_EQ(Utils::bytesToMultiString(nullptr, 0), List{});
}

TEST(MultiString, ZeroSeparatedWideStrings) {
    using List = std::list<std::u16string>;
    const Bytes le = {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0};
    EXPECT_EQ(Utils::bytesToMultiWString(le.data(), le.size(), true), (List{u"a", u"bc"}));
    const Bytes be = {0, 'a', 0, 0, 0, 0, 0, 'b'};
    EXPECT_EQ(Utils::bytesToMultiWString(be.data(), be.size(), false), (List{u"a", u"", u"b"}));
    const Bytes none = {'x', 0, 'y', 0};
    EXPECT_EQ(Utils::bytesToMultiWString(none.data(), none.size(), true), (List{u"xy"}));
    EXPECT_EQ(Utils::bytesToMultiWString(none.data(), 0, true), List{});
}

TEST(MultiString, OddWideLengthDropsTheLastByteWithOneWarning) {
    using List = std::list<std::u16string>;
    const Bytes bytes = {'a', 0, 0, 0, 'b', 0, 'c'};
    LogCapture log;
    EXPECT_EQ(Utils::bytesToMultiWString(bytes.data(), bytes.size(), true), (List{u"a", u"b"}));
    EXPECT_EQ(Utils::bytesToMultiWString(bytes.data(), 1, true), List{});
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOccurrences(text, "bytesToMultiWString: length not aligned, length: 7\n"), 1U)
        << text;
    EXPECT_EQ(VelkTest::countOccurrences(text, "bytesToMultiWString: length not aligned, length: 1\n"), 1U)
        << text;
}

TEST(RandomBytes, EveryChunkOf256IsAPermutation) {
    EXPECT_TRUE(Utils::randomBytes(0).empty());

    const Bytes bytes = Utils::randomBytes(600);
    ASSERT_EQ(bytes.size(), 600U);
    EXPECT_EQ(std::set<uint8_t>(bytes.begin(), bytes.begin() + 256).size(), 256U);
    EXPECT_EQ(std::set<uint8_t>(bytes.begin() + 256, bytes.begin() + 512).size(), 256U);
    EXPECT_EQ(std::set<uint8_t>(bytes.begin() + 512, bytes.end()).size(), 88U)
        << "no repeat in a short chunk";

    const Bytes again = Utils::randomBytes(256);
    EXPECT_NE(Bytes(bytes.begin(), bytes.begin() + 256), again) << "a fresh shuffle each call";
}

TEST(RandomBytes, FillsExactlyTheCountAsked) {
    uint8_t buffer[40];
    std::fill(std::begin(buffer), std::end(buffer), 0xee);
    Utils::randomBytesN(buffer + 4, 30);
    for (int index = 0; index < 4; ++index) {
        EXPECT_EQ(buffer[index], 0xee);
    }
    for (int index = 34; index < 40; ++index) {
        EXPECT_EQ(buffer[index], 0xee);
    }
    EXPECT_EQ(std::set<uint8_t>(buffer + 4, buffer + 34).size(), 30U);
    Utils::randomBytesN(nullptr, 0);
}

TEST(ConnectPolicy, NamesAreCaseInsensitive) {
    EXPECT_EQ(connectPolicy("MultiAllow"), 3);
    EXPECT_EQ(connectPolicy("multiallow"), 3);
    EXPECT_EQ(connectPolicy("PrevReplace"), 2);
    EXPECT_EQ(connectPolicy("authlock"), 1);
    EXPECT_EQ(connectPolicy(""), 1);
    EXPECT_EQ(connectPolicy("multiallow "), 1);
}

TEST(JoinString, ArgumentsInOrderWithoutSeparators) {
    EXPECT_EQ(Utils::joinString("proxy_", 7U, "_", 0), "proxy_7_0");
    EXPECT_EQ(Utils::joinString("sam_", uint32_t{12}, "_", size_t{3}), "sam_12_3");
    EXPECT_EQ(Utils::joinString(std::string("a"), std::string_view("b"), 'c', -1, 2.5), "abc-12.5");
    EXPECT_EQ(Utils::joinString(), "");
}

}  // namespace
