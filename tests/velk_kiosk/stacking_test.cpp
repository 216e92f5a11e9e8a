// The stacking users see, read back with QueryTree: dialogs that stay above
// the window they belong to when it is clicked or activated, a modal dialog
// that takes the focus in its place, layers, override-redirect popups that
// no raised frame covers, and a pager's restack.
#include <algorithm>

#include "client_wishes.h"
#include "ewmh_probe.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

xcb_window_t activeWindow(const XTestClient& client) {
    const auto active = readWords(client, client.root(), "_NET_ACTIVE_WINDOW").words;
    return active.empty() ? 0 : active.front();
}

class KioskStackingTest : public KioskTest {
protected:
    // A window of the test client with these states, mapped and framed.
    xcb_window_t mapInStates(const WindowSpec& params, const std::vector<std::string>& states,
                             xcb_window_t transientFor = XCB_NONE) {
        const xcb_window_t win = client.createWindow(params);
        std::vector<uint32_t> atoms(states.size());
        std::transform(states.begin(), states.end(), atoms.begin(),
                       [&](const std::string& state) { return client.atom(state); });
        client.setWords(win, client.atom("_NET_WM_STATE"), XCB_ATOM_ATOM, atoms);
        if (transientFor != XCB_NONE) {
            setTransientFor(client, win, transientFor);
        }
        client.map(win);
        EXPECT_NE(waitForFrame(client, win), 0U);
        return win;
    }
    bool focusSettles(xcb_window_t win) {
        return waitUntil([&] { return client.focus() == win && activeWindow(client) == win; }, 10s);
    }
    void click(int x, int y) {
        xdotool(server.displayName(), {"mousemove", std::to_string(x), std::to_string(y), "click", "1"});
        syncWithKioskAs(client);
    }
};

// A -> B -> C, both dialogs modal, centred over the window they belong to;
// D apart from them.
TEST_F(KioskStackingTest, DialogsStayAboveTheirWindowWhenItIsClickedOrActivatedAndTheModalOneTakesTheFocus) {
    startKiosk(std::nullopt);
    WindowSpec corner;
    corner.x = 0;
    corner.y = 0;
    const xcb_window_t a = mapWindow(corner);
    WindowSpec dialog;
    dialog.width = 300;
    dialog.height = 200;
    const xcb_window_t b = mapInStates(dialog, {"_NET_WM_STATE_MODAL"}, a);
    const xcb_window_t c = mapInStates(dialog, {"_NET_WM_STATE_MODAL"}, b);
    WindowSpec apart;
    apart.x = 1200;
    apart.y = 500;
    const xcb_window_t d = mapWindow(apart);
    ASSERT_TRUE(stackSettles(client, {a, b, c, d}));

    click(20, 40);
    EXPECT_TRUE(stackSettles(client, {d, a, b, c}));
    EXPECT_TRUE(focusSettles(c)) << "the click on A goes to its modal dialog";

    xdotool(server.displayName(), {"windowactivate", std::to_string(d)});
    EXPECT_TRUE(stackSettles(client, {a, b, c, d}));
    EXPECT_TRUE(focusSettles(d));
    xdotool(server.displayName(), {"windowactivate", std::to_string(a)});
    EXPECT_TRUE(stackSettles(client, {d, a, b, c}));
    EXPECT_TRUE(focusSettles(c));
}

TEST_F(KioskStackingTest, LayersAndPopupsStayAboveAFullScreenWindowThatIsClicked) {
    startKiosk(R"([{"wm:class": "full"}])");
    WindowSpec fullSpec;
    fullSpec.instance = "full";
    const xcb_window_t full = mapWindow(fullSpec);
    const xcb_window_t above = mapInStates(WindowSpec{}, {"_NET_WM_STATE_ABOVE"});
    const xcb_window_t below = mapInStates(WindowSpec{}, {"_NET_WM_STATE_BELOW"});
    const xcb_window_t popup = client.createBareWindow(1500, 900, 100, 100, true);
    ASSERT_TRUE(stackSettles(client, {below, full, above, popup}));

    click(1000, 700);
    EXPECT_TRUE(stackSettles(client, {below, full, above, popup}));
    EXPECT_TRUE(focusSettles(full));
    // A new window, framed on top of everything at first, steps down.
    const xcb_window_t normal = mapWindow(WindowSpec{});
    EXPECT_TRUE(stackSettles(client, {below, full, normal, above, popup}));

    // A pager's restack stays within the layer.
    sendRootMessage(client, full, "_NET_RESTACK_WINDOW", {2, normal, XCB_STACK_MODE_ABOVE, 0, 0});
    EXPECT_TRUE(stackSettles(client, {below, normal, full, above, popup}));
    sendRootMessage(client, below, "_NET_RESTACK_WINDOW", {2, above, XCB_STACK_MODE_ABOVE, 0, 0});
    EXPECT_TRUE(stackSettles(client, {below, normal, full, above, popup}));
    // Out of its layer, the window is an ordinary one, on top of them.
    sendRootMessage(client, above, "_NET_WM_STATE", {0, client.atom("_NET_WM_STATE_ABOVE"), 0, 2, 0});
    EXPECT_TRUE(stackSettles(client, {below, normal, full, above, popup}));
    click(1000, 700);
    EXPECT_TRUE(stackSettles(client, {below, normal, above, full, popup}));
}

}  // namespace
