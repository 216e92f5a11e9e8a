// Real programs under the kiosk as users see them: a GTK dialog (zenity) and
// a Qt main window with its dialog (PyQt5) are wholly inside their frames,
// and a dialog is centred over its parent, or the screen when it has none.
#include <cstdlib>

#include "client_wishes.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;

// The client lies wholly inside its frame.
::testing::AssertionResult notClipped(const XTestClient& client, const FramedClient& framed) {
    const Geometry frame = client.geometry(framed.frame);
    const Geometry inside = client.geometry(framed.client);
    if (inside.x >= 0 && inside.y >= 0 && inside.x + inside.width <= frame.width &&
        inside.y + inside.height <= frame.height) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "client " << toString(inside) << " in frame " << toString(frame);
}

// The centre of `inner` lies within `slack` pixels of the centre of `outer`.
::testing::AssertionResult centredOver(const Geometry& inner, const Geometry& outer, int slack) {
    const int dx = 2 * inner.x + inner.width - (2 * outer.x + outer.width);
    const int dy = 2 * inner.y + inner.height - (2 * outer.y + outer.height);
    if (std::abs(dx) <= 2 * slack && std::abs(dy) <= 2 * slack) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << toString(inner) << " is not centred over " << toString(outer);
}

TEST_F(KioskTest, GtkDialogWithoutParentIsWhollyInsideItsFrameInTheMiddleOfTheScreen) {
    startKiosk(std::nullopt, {"/usr/bin/zenity", "--info", "--text", "velk kiosk"});
    const auto framed = waitForFramedClients(client, 1);
    ASSERT_EQ(framed.size(), 1U);
    // GTK may still size its window after the map: the frame follows, keeping
    // its top left corner, so the centre moves by half the growth.
    EXPECT_TRUE(waitUntil([&] { return bool(notClipped(client, framed.front())); }, std::chrono::seconds(10)))
        << notClipped(client, framed.front());
    EXPECT_TRUE(centredOver(client.geometry(framed.front().frame), {0, 0, 1920, 1080}, 24));
}

TEST_F(KioskTest, QtDialogIsCentredOverItsMainWindowAndNeitherIsClipped) {
    startKiosk(std::nullopt, {"/usr/bin/python3", VELK_QT_DIALOG_APP});
    const auto framed = waitForFramedClients(client, 2);
    ASSERT_EQ(framed.size(), 2U);
    // Bottom to top: the main window, then its dialog above it.
    const FramedClient& main = framed.front();
    const FramedClient& dialog = framed.back();
    EXPECT_TRUE(waitUntil([&] { return notClipped(client, main) && notClipped(client, dialog); },
                          std::chrono::seconds(10)))
        << notClipped(client, main) << notClipped(client, dialog);
    // Qt places its dialogs itself (a position of its own, kept), centred by
    // its own idea of the frame: over the main window, near its middle.
    const Geometry over = client.geometry(main.frame);
    const Geometry dialogFrame = client.geometry(dialog.frame);
    EXPECT_TRUE(dialogFrame.x >= over.x && dialogFrame.y >= over.y &&
                dialogFrame.x + dialogFrame.width <= over.x + over.width &&
                dialogFrame.y + dialogFrame.height <= over.y + over.height)
        << toString(dialogFrame) << " is not over " << toString(over);
    EXPECT_TRUE(centredOver(dialogFrame, over, 64));
}

}  // namespace
