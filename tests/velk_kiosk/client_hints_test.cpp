// The client's hints read from property bytes: Motif decorations, a place of
// its own in the size hints, atoms in a list and the transient parent.
#include "velk_kiosk/client_hints.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string words(const std::vector<uint32_t>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * 4);
}

TEST(ClientHints, OnlyASetDecorationsFieldOfZeroAsksForNoDecorations) {
    EXPECT_TRUE(Velk::asksNoDecorations(words({2, 0, 0, 0, 0})));
    EXPECT_TRUE(Velk::asksNoDecorations(words({3, 1, 0, 0, 0})));
    EXPECT_FALSE(Velk::asksNoDecorations(words({1, 0, 0, 0, 0}))) << "functions only";
    EXPECT_FALSE(Velk::asksNoDecorations(words({2, 0, 1, 0, 0})));
    EXPECT_FALSE(Velk::asksNoDecorations(words({2, 0}))) << "too short";
    EXPECT_FALSE(Velk::asksNoDecorations(""));
}

TEST(ClientHints, PlaceOfItsOwnNeedsAPositionFlagAndAPlaceOtherThanTheOrigin) {
    std::vector<uint32_t> hints(18, 0);
    const Velk::Xcb::Rect placed{40, 50, 300, 200};
    EXPECT_FALSE(Velk::hasOwnPosition(words(hints), placed));
    hints[0] = 1;  // USPosition
    EXPECT_TRUE(Velk::hasOwnPosition(words(hints), placed));
    hints[0] = 4;  // PPosition
    EXPECT_TRUE(Velk::hasOwnPosition(words(hints), placed));
    EXPECT_FALSE(Velk::hasOwnPosition(words(hints), {0, 0, 300, 200}));
    hints[0] = 2 | 8;  // sizes only
    EXPECT_FALSE(Velk::hasOwnPosition(words(hints), placed));
    EXPECT_FALSE(Velk::hasOwnPosition("", placed));
}

TEST(ClientHints, GravityCountsOnlyWhenItsFlagIsSet) {
    std::vector<uint32_t> hints(18, 0);
    hints[17] = XCB_GRAVITY_STATIC;
    EXPECT_EQ(Velk::windowGravity(words(hints)), uint32_t{XCB_GRAVITY_NORTH_WEST}) << "flag unset";
    hints[0] = 1U << 9;  // PWinGravity
    EXPECT_EQ(Velk::windowGravity(words(hints)), uint32_t{XCB_GRAVITY_STATIC});
    EXPECT_EQ(Velk::windowGravity(""), uint32_t{XCB_GRAVITY_NORTH_WEST});
}

TEST(ClientHints, AtomsAndTheTransientParentAreFoundInTheirLists) {
    EXPECT_TRUE(Velk::listsAtom(words({7, 300, 9}), 300));
    EXPECT_FALSE(Velk::listsAtom(words({7, 9}), 300));
    EXPECT_FALSE(Velk::listsAtom("", 300));
    EXPECT_EQ(Velk::firstWindow(words({0x400001, 5})), 0x400001U);
    EXPECT_EQ(Velk::firstWindow(""), 0U);
}

}  // namespace
