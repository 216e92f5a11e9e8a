// Typed property reads of windows whose properties a second client wrote:
// what each read accepts, how values are cut and split, the window name, the
// size hints and the top-level window list.
#include <gtest/gtest.h>

#include "xcb_test_fixture.h"

namespace {

using namespace VelkTest;
using namespace std::string_literals;
using Velk::Xcb::SizeHints;

class PropertyTest : public XcbTest {
protected:
    xcb_window_t win = client.createBareWindow(0, 0, 50, 50);
    xcb_atom_t prop = client.atom("VELK_TEST_PROPERTY");
    xcb_atom_t utf8 = client.atom("UTF8_STRING");
};

// An 18-word WM_SIZE_HINTS value whose word i holds 100 + i, under the flags.
std::vector<uint32_t> hintWords(uint32_t flags, size_t count) {
    std::vector<uint32_t> words(count);
    for (size_t index = 0; index < count; ++index) {
        words[index] = static_cast<uint32_t>(100 + index);
    }
    words[0] = flags;
    return words;
}

SizeHints prefilledHints() {
    SizeHints hints;
    hints.flags = 0xFFFF;
    hints.baseWidth = 7;
    hints.baseHeight = 7;
    hints.windowGravity = 7;
    return hints;
}

TEST_F(PropertyTest, StringKeepsEmbeddedNulBytes) {
    const std::string value = "a\0b\0\0c"s;
    client.setBytes(win, prop, XCB_ATOM_STRING, value);
    EXPECT_EQ(connector.getPropertyType(win, prop), XCB_ATOM_STRING);
    EXPECT_EQ(connector.getPropertyString(win, prop), value);
}

TEST_F(PropertyTest, StringReadAcceptsOnlyItsOwnType) {
    client.setBytes(win, prop, utf8, "h\xC3\xA9llo");
    EXPECT_EQ(connector.getPropertyString(win, prop), "");
    EXPECT_EQ(connector.getPropertyStringUtf8(win, prop), "h\xC3\xA9llo");

    client.setBytes(win, prop, XCB_ATOM_STRING, "latin");
    EXPECT_EQ(connector.getPropertyStringUtf8(win, prop), "");
    EXPECT_TRUE(connector.reports.empty()) << "another type is no error";
}

TEST_F(PropertyTest, LongStringIsCutAtTheReadLength) {
    const std::string value(40000, 'x');
    client.setBytes(win, prop, XCB_ATOM_STRING, value);
    EXPECT_EQ(connector.getPropertyString(win, prop), std::string(32768, 'x'));
}

TEST_F(PropertyTest, MissingPropertyGivesEmptyValuesWithoutReports) {
    EXPECT_EQ(connector.getPropertyType(win, prop), 0U);
    EXPECT_EQ(connector.getPropertyString(win, prop), "");
    EXPECT_EQ(connector.getPropertyStringUtf8(win, prop), "");
    EXPECT_TRUE(connector.getPropertyStringList(win, prop).empty());
    EXPECT_EQ(connector.getPropertyAtom(win, prop), 0U);
    EXPECT_TRUE(connector.getPropertyAtomList(win, prop).empty());
    EXPECT_EQ(connector.getPropertyCardinal(win, client.atom("_NET_WM_PID")), 0U);
    EXPECT_EQ(connector.getPropertyWindow(win, prop), 0U);
    EXPECT_TRUE(connector.reports.empty());
}

TEST_F(PropertyTest, EmptyValueOfTheRightTypeIsEmpty) {
    client.setBytes(win, prop, XCB_ATOM_STRING, "");
    EXPECT_EQ(connector.getPropertyType(win, prop), XCB_ATOM_STRING);
    EXPECT_TRUE(connector.getPropertyStringList(win, prop).empty());
    client.setWords(win, prop, XCB_ATOM_CARDINAL, {});
    EXPECT_EQ(connector.getPropertyCardinal(win, prop), 0U);
}

TEST_F(PropertyTest, PropertiesOfADestroyedWindowAreReportedAndEmpty) {
    client.setBytes(win, prop, XCB_ATOM_STRING, "gone");
    client.destroy(win);
    EXPECT_EQ(connector.getPropertyString(win, prop), "");
    ASSERT_EQ(connector.reports.size(), 1U) << "the type probe fails, no second read";
    EXPECT_EQ(connector.reports[0].caller, "getPropertyAnyType");
    EXPECT_EQ(connector.reports[0].request, "xcb_get_property");
    EXPECT_EQ(connector.reports[0].errorCode, XCB_WINDOW);
    EXPECT_FALSE(connector.getPropertyAnyType(win, prop, 0, 10));
}

TEST_F(PropertyTest, StringListSplitsAtEachNul) {
    client.setBytes(win, prop, XCB_ATOM_STRING, "a\0\0b"s);
    EXPECT_EQ(connector.getPropertyStringList(win, prop), (std::list<std::string>{"a", "", "b"}));

    client.setBytes(win, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, "xterm\0XTerm\0"s);
    EXPECT_EQ(connector.getPropertyStringList(win, XCB_ATOM_WM_CLASS),
              (std::list<std::string>{"xterm", "XTerm"}));

    client.setBytes(win, prop, XCB_ATOM_STRING, "\0last"s);
    EXPECT_EQ(connector.getPropertyStringList(win, prop), (std::list<std::string>{"", "last"}));

    client.setBytes(win, prop, utf8, "a\0b"s);
    EXPECT_TRUE(connector.getPropertyStringList(win, prop).empty());
}

TEST_F(PropertyTest, AtomListGivesEveryAtomInOrder) {
    const std::vector<uint32_t> atoms = {client.atom("_NET_WM_STATE_ABOVE"), XCB_ATOM_WM_NAME,
                                         client.atom("_NET_WM_STATE_FULLSCREEN")};
    client.setWords(win, prop, XCB_ATOM_ATOM, atoms);
    EXPECT_EQ(connector.getPropertyAtomList(win, prop), (std::list<xcb_atom_t>(atoms.begin(), atoms.end())));
    EXPECT_EQ(connector.getPropertyAtom(win, prop), atoms[0]);
    EXPECT_EQ(connector.getPropertyCardinal(win, prop), 0U) << "ATOM is not CARDINAL";
}

TEST_F(PropertyTest, SingleWordReadsTakeTheFirstItemOfTheirType) {
    const xcb_atom_t pid = client.atom("_NET_WM_PID");
    client.setWords(win, pid, XCB_ATOM_CARDINAL, {4242, 7});
    EXPECT_EQ(connector.getPropertyCardinal(win, pid), 4242U);
    EXPECT_EQ(connector.getPropertyWindow(win, pid), 0U);

    client.setWords(win, prop, XCB_ATOM_WINDOW, {client.root()});
    EXPECT_EQ(connector.getPropertyWindow(win, prop), client.root());
    EXPECT_EQ(connector.getPropertyAtom(win, prop), 0U);
}

TEST_F(PropertyTest, LegacyWindowNameWinsOverTheUtf8Name) {
    const xcb_atom_t netName = client.atom("_NET_WM_NAME");
    client.setBytes(win, netName, utf8, "utf8 name");
    EXPECT_EQ(connector.getWindowName(win), "utf8 name");

    client.setBytes(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, "legacy name");
    EXPECT_EQ(connector.getWindowName(win), "legacy name");

    client.setBytes(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, "");
    EXPECT_EQ(connector.getWindowName(win), "utf8 name") << "an empty legacy name does not count";

    client.setBytes(win, XCB_ATOM_WM_NAME, utf8, "typed wrong");
    EXPECT_EQ(connector.getWindowName(win), "utf8 name") << "WM_NAME must be STRING";

    client.deleteProperty(win, netName);
    client.deleteProperty(win, XCB_ATOM_WM_NAME);
    EXPECT_EQ(connector.getWindowName(win), "");
}

TEST_F(PropertyTest, FullSizeHintsAreCopiedWithTheTenIcccmFlags) {
    client.setWords(win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, hintWords(0xFFFFFFFF, 18));
    SizeHints hints = prefilledHints();
    ASSERT_TRUE(connector.getWindowNormalHints(win, &hints));
    EXPECT_EQ(hints.flags, 0x3FFU);
    EXPECT_EQ(hints.x, 101);
    EXPECT_EQ(hints.minWidth, 105);
    EXPECT_EQ(hints.maxAspectDenominator, 114);
    EXPECT_EQ(hints.baseWidth, 115);
    EXPECT_EQ(hints.baseHeight, 116);
    EXPECT_EQ(hints.windowGravity, 117U);
}

TEST_F(PropertyTest, OldFifteenWordHintsClearBaseSizeAndGravity) {
    client.setWords(win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, hintWords(0x3FF, 15));
    SizeHints hints = prefilledHints();
    ASSERT_TRUE(connector.getWindowNormalHints(win, &hints));
    EXPECT_EQ(hints.flags, 0xFFU);
    EXPECT_EQ(hints.maxAspectDenominator, 114);
    EXPECT_EQ(hints.baseWidth, 0);
    EXPECT_EQ(hints.baseHeight, 0);
    EXPECT_EQ(hints.windowGravity, 0U);
}

TEST_F(PropertyTest, LongerHintsAreCutAtEighteenWords) {
    client.setWords(win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, hintWords(0x200, 20));
    SizeHints hints;
    ASSERT_TRUE(connector.getWindowNormalHints(win, &hints));
    EXPECT_EQ(hints.flags, 0x200U);
    EXPECT_EQ(hints.windowGravity, 117U);
}

TEST_F(PropertyTest, HintsMissingOrOfAnotherTypeLeaveTheRecordAlone) {
    SizeHints hints = prefilledHints();
    EXPECT_FALSE(connector.getWindowNormalHints(win, &hints));
    EXPECT_EQ(hints.flags, 0xFFFFU);
    EXPECT_EQ(hints.baseWidth, 7);
    EXPECT_TRUE(connector.getWindowNormalHints(win, nullptr)) << "the request itself worked";

    client.setWords(win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_CARDINAL, hintWords(0x3FF, 18));
    EXPECT_FALSE(connector.getWindowNormalHints(win, &hints));
    EXPECT_EQ(hints.windowGravity, 7U);
    EXPECT_TRUE(connector.reports.empty());
}

TEST_F(PropertyTest, HintsOfADestroyedWindowAreReported) {
    client.destroy(win);
    EXPECT_FALSE(connector.getWindowNormalHints(win, nullptr));
    ASSERT_EQ(connector.reports.size(), 1U);
    EXPECT_EQ(connector.reports[0].caller, "getWindowNormalHints");
    EXPECT_EQ(connector.reports[0].errorCode, XCB_WINDOW);
}

TEST_F(PropertyTest, WindowsComeFromTheTreeWithoutAClientList) {
    const xcb_window_t second = client.createBareWindow(0, 0, 10, 10);
    const xcb_window_t third = client.createBareWindow(0, 0, 10, 10);
    const auto windows = connector.getWindows();
    ASSERT_GE(windows.size(), 3U);
    const std::list<xcb_window_t> lastThree(std::prev(windows.end(), 3), windows.end());
    EXPECT_EQ(lastThree, (std::list<xcb_window_t>{win, second, third})) << "bottom to top";

    // A client list of another type is not used.
    client.setWords(client.root(), client.atom("_NET_CLIENT_LIST"), XCB_ATOM_CARDINAL, {third});
    EXPECT_EQ(connector.getWindows(), windows);
}

TEST_F(PropertyTest, ClientListOfTheRootIsUsedAsItIs) {
    const xcb_window_t other = client.createBareWindow(0, 0, 10, 10);
    client.setWords(client.root(), client.atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, {other, win, 0x123456});
    EXPECT_EQ(connector.getWindows(), (std::list<xcb_window_t>{other, win, 0x123456}));

    client.setWords(client.root(), client.atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, {});
    EXPECT_TRUE(connector.getWindows().empty()) << "an empty list is still the list";
}

// One GetProperty of the expected type: a value of another type is empty
// and no error; an error is reported as the caller's.
TEST_F(PropertyTest, PendingReadsGiveValuesOfTheirTypeOnly) {
    client.setBytes(win, prop, XCB_ATOM_STRING, "a\0b"s);
    const xcb_window_t gone = client.createBareWindow(0, 0, 10, 10);
    client.destroy(gone);
    auto asString = connector.requestProperty(win, prop, XCB_ATOM_STRING);
    auto asAtom = connector.requestProperty(win, prop, XCB_ATOM_ATOM);
    auto ofGone = connector.requestProperty(gone, prop, XCB_ATOM_STRING);
    EXPECT_EQ(connector.collectProperty(std::move(asString), "readingCaller"), "a\0b"s);
    EXPECT_EQ(connector.collectProperty(std::move(asAtom), "readingCaller"), "");
    EXPECT_EQ(connector.collectProperty(std::move(ofGone), "readingCaller"), "");
    ASSERT_EQ(connector.reports.size(), 1U);
    EXPECT_EQ(connector.reports[0].caller, "readingCaller");
    EXPECT_EQ(connector.reports[0].request, "xcb_get_property");
    EXPECT_EQ(connector.reports[0].errorCode, XCB_WINDOW);
}

TEST_F(PropertyTest, AtomsInternedTogetherComeInTheOrderOfTheirNames) {
    const auto atoms = connector.getAtoms({"VELK_TEST_SECOND", "WM_NAME", "VELK_TEST_NEVER"}, false);
    ASSERT_EQ(atoms.size(), 3U);
    EXPECT_EQ(atoms[0], XCB_ATOM_NONE) << "not created without create";
    EXPECT_EQ(atoms[1], XCB_ATOM_WM_NAME);
    const auto created = connector.getAtoms({"VELK_TEST_SECOND", "WM_NAME"}, true);
    EXPECT_EQ(created[0], client.atom("VELK_TEST_SECOND"));
    EXPECT_EQ(created[1], XCB_ATOM_WM_NAME);
}

}  // namespace
