// The client's hints read from property bytes (Motif decorations, a place of
// its own and a size that cannot change in the size hints, WM_HINTS, atoms in
// a list and the transient parent), the decoration they leave a window, and
// the EWMH states and actions of a client.
#include "velk_kiosk/client_hints.h"

#include <gtest/gtest.h>

#include "velk_kiosk/client_ewmh.h"
#include "velk_kiosk/decoration.h"

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

TEST(ClientHints, OnlyEqualMinimumAndMaximumSizesMakeASizeThatCannotChange) {
    // flags, x, y, width, height, minimum width and height, maximum width and height.
    const auto sized = [](uint32_t flags, uint32_t minW, uint32_t minH, uint32_t maxW, uint32_t maxH) {
        std::vector<uint32_t> hints(18, 0);
        hints[0] = flags;
        hints[5] = minW;
        hints[6] = minH;
        hints[7] = maxW;
        hints[8] = maxH;
        return Velk::fixedSizeOf(words(hints));
    };
    const auto fixed = sized(16 | 32, 1920, 1080, 1920, 1080);
    ASSERT_TRUE(fixed.has_value());
    EXPECT_EQ(fixed->width, 1920);
    EXPECT_EQ(fixed->height, 1080);
    EXPECT_FALSE(sized(16 | 32, 800, 600, 1920, 1080)) << "resizable";
    EXPECT_FALSE(sized(32, 1920, 1080, 1920, 1080)) << "no minimum";
    EXPECT_FALSE(sized(16 | 32, 0, 0, 0, 0)) << "no size";
    EXPECT_FALSE(Velk::fixedSizeOf(""));
}

TEST(ClientHints, WmHintsGiveInputUrgencyAndGroupOnlyWhereTheirFlagsSay) {
    // flags, input, initial state, icon pixmap, icon window, icon x and y, icon mask, window group.
    EXPECT_TRUE(Velk::wmHintsOf("").input) << "no hints: takes input";
    EXPECT_TRUE(Velk::wmHintsOf(words({0, 0, 0, 0, 0, 0, 0, 0, 0})).input) << "input field unset";
    const Velk::WmHints keyboard = Velk::wmHintsOf(words({1, 0, 0, 0, 0, 0, 0, 0, 0x600001}));
    EXPECT_FALSE(keyboard.input);
    EXPECT_EQ(keyboard.group, 0U) << "group flag unset";
    const Velk::WmHints urgent = Velk::wmHintsOf(words({1 | 64 | 256, 1, 0, 0, 0, 0, 0, 0, 0x600001}));
    EXPECT_TRUE(urgent.input);
    EXPECT_TRUE(urgent.urgent);
    EXPECT_EQ(urgent.group, 0x600001U);
}

TEST(Decoration, WhatTheRuleTheClientAndItsKindLeaveAWindow) {
    struct Case {
        Velk::DecorationWishes wishes;
        uint16_t border;
        uint16_t title;
    };
    const Case cases[] = {
        {{}, 3, 18},
        {{false, true, true, true, false, false}, 0, 18},    // held at full screen by its rule
        {{false, false, true, false, false, false}, 0, 18},  // "frame": false, or no name
        {{false, false, false, true, false, false}, 0, 0},   // "titlebar": false
        {{false, false, true, true, true, false}, 0, 0},     // Motif: none
        {{false, false, true, true, false, true}, 0, 0},     // splash
        {{true, false, true, true, false, false}, 0, 0},     // integrity mode
    };
    for (const Case& test : cases) {
        const Velk::FrameMetrics metrics = Velk::decorationOf(test.wishes);
        EXPECT_EQ(metrics.borderWidth, test.border);
        EXPECT_EQ(metrics.titleHeight, test.title);
    }
    // A window that cannot be resized loses the title bar that would push it off the screen.
    const Velk::FrameMetrics titled{0, 0, 18};
    const Velk::Xcb::Size screen{1920, 1080};
    EXPECT_EQ(Velk::fittedDecoration(titled, Velk::Xcb::Size{1920, 1080}, screen).titleHeight, 0);
    EXPECT_EQ(Velk::fittedDecoration(titled, Velk::Xcb::Size{800, 600}, screen).titleHeight, 18);
    EXPECT_EQ(Velk::fittedDecoration(titled, std::nullopt, screen).titleHeight, 18);
}

TEST(ClientEwmh, StateRequestsChangeOnlyTheStatesTheKioskActsOnAndKeepTheOthers) {
    Velk::KioskAtoms atoms;
    atoms.netWmStateFullscreen = 10;
    atoms.netWmStateAbove = 11;
    atoms.netWmStateBelow = 12;
    atoms.netWmStateModal = 13;
    Velk::WindowStates states;
    states.kept = {99};
    states = Velk::requestedStates(states, 1, 10, 13, atoms);
    EXPECT_TRUE(states.fullscreen && states.modal);
    states = Velk::requestedStates(states, 2, 10, 98, atoms);
    EXPECT_FALSE(states.fullscreen) << "toggled";
    EXPECT_EQ(states.kept, std::vector<uint32_t>{99}) << "a state the kiosk does not act on is not taken";
    states = Velk::requestedStates(states, 1, 11, 0, atoms);
    states = Velk::requestedStates(states, 1, 12, 0, atoms);
    EXPECT_TRUE(states.below && !states.above) << "the layer asked for last wins";
    EXPECT_EQ(Velk::stateAtoms(states, atoms), (std::vector<uint32_t>{99, 12, 13}));
}

}  // namespace
