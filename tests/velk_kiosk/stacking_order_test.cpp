// The kiosk's stacking order alone: layers, transients that stay above the
// window they belong to and move with it, group dialogs, and the restacks
// that carry a change to the server.
#include <gtest/gtest.h>

#include "velk_kiosk/stacking_order.h"

namespace {

using Velk::Layer;
using Velk::Restack;
using Velk::StackFacts;
using Velk::StackingOrder;
using Order = std::vector<xcb_window_t>;

StackFacts transientFor(xcb_window_t parent, Layer layer = Layer::Normal) {
    StackFacts facts;
    facts.layer = layer;
    facts.transientFor = parent;
    return facts;
}

StackFacts inLayer(Layer layer) {
    return transientFor(0, layer);
}

TEST(StackingOrder, LayersKeepTheirOrderWhateverTheOrderOfTheWindows) {
    StackingOrder stacking;
    stacking.add(1, inLayer(Layer::Above));
    stacking.add(2, inLayer(Layer::Normal));
    stacking.add(3, inLayer(Layer::Dock));
    stacking.add(4, inLayer(Layer::Below));
    stacking.add(5, inLayer(Layer::Normal));
    EXPECT_EQ(stacking.order(), (Order{4, 2, 5, 1, 3}));
    // A raised normal window stays under the windows above it.
    EXPECT_EQ(stacking.raise(2), (std::vector<Restack>{{2, 1, false}}));
    EXPECT_EQ(stacking.order(), (Order{4, 5, 2, 1, 3}));
    EXPECT_TRUE(stacking.raise(2).empty()) << "nothing moves, nothing is sent";
    // Its layer changed: on top of the new one.
    stacking.update(4, inLayer(Layer::Above));
    EXPECT_EQ(stacking.order(), (Order{5, 2, 1, 4, 3}));
}

// A -> B -> C: B belongs to A, C to B.
TEST(StackingOrder, TransientsStayAboveTheirWindowAndMoveWithItTopDown) {
    StackingOrder stacking;
    stacking.add(1, {});
    stacking.add(2, transientFor(1));
    stacking.add(3, transientFor(2));
    stacking.add(4, {});
    EXPECT_EQ(stacking.raise(1), (std::vector<Restack>{{3, 4, true}, {2, 3, false}, {1, 2, false}}));
    EXPECT_EQ(stacking.order(), (Order{4, 1, 2, 3}));
    // Lowered or put below its own window, a transient stays just above it.
    stacking.lower(3);
    EXPECT_EQ(stacking.order(), (Order{4, 1, 2, 3}));
    stacking.restackBy(2, 4, false);
    EXPECT_EQ(stacking.order(), (Order{4, 1, 2, 3}));
    // The window a transient belongs to in a higher layer lifts it there.
    stacking.update(1, inLayer(Layer::Above));
    EXPECT_EQ(stacking.order(), (Order{4, 1, 2, 3}));
    stacking.add(5, {});
    EXPECT_EQ(stacking.order(), (Order{4, 5, 1, 2, 3})) << "a new normal window stays below them";
}

TEST(StackingOrder, ATransientMappedBeforeItsWindowEndsAboveIt) {
    StackingOrder stacking;
    stacking.add(2, transientFor(1));
    stacking.add(1, {});
    EXPECT_EQ(stacking.order(), (Order{1, 2}));
    // Transients that name each other are not followed round.
    stacking.update(1, transientFor(2));
    stacking.raise(1);
    EXPECT_EQ(stacking.order().size(), 2U);
}

TEST(StackingOrder, AGroupDialogBelongsToEveryOtherWindowOfItsGroup) {
    StackingOrder stacking;
    StackFacts member;
    member.group = 100;
    StackFacts dialog = member;
    dialog.groupDialog = true;
    stacking.add(1, member);
    stacking.add(2, member);
    stacking.add(3, dialog);
    stacking.add(4, {});
    stacking.raise(1);
    EXPECT_EQ(stacking.order(), (Order{2, 4, 1, 3}));
    EXPECT_EQ(stacking.transientsOf(2), (Order{3}));
    // Below a window of its group it may not go.
    stacking.restackBy(3, 2, false);
    EXPECT_EQ(stacking.order(), (Order{2, 4, 1, 3}));
}

TEST(StackingOrder, OnlyWindowsAddedOnTopLeaveTheShownListAsItWas) {
    StackingOrder stacking;
    stacking.add(1, {});
    stacking.add(2, {});
    EXPECT_EQ(stacking.takeUnchangedPrefix(), 0U);
    stacking.add(3, {});
    EXPECT_EQ(stacking.takeUnchangedPrefix(), 2U);
    stacking.raise(1);
    EXPECT_EQ(stacking.takeUnchangedPrefix(), 0U);
    stacking.remove(3);
    EXPECT_EQ(stacking.takeUnchangedPrefix(), 1U);
    // The only window, or all of them moved: at the bottom of the root.
    StackingOrder alone;
    EXPECT_EQ(alone.add(7, {}), (std::vector<Restack>{{7, 0, false}}));
}

}  // namespace
