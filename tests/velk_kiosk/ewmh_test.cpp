// The kiosk as EWMH and ICCCM clients see it: the check window and the hints
// it lists, the client lists in mapping and stacking order, WM_STATE, the
// active window, and the requests programs send to the root.
#include <signal.h>

#include <algorithm>

#include "ewmh_probe.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

using Windows = std::vector<uint32_t>;

class KioskEwmhTest : public KioskTest {
protected:
    bool rootListsSettle(const Windows& mapping, const Windows& stacking) {
        return waitUntil(
            [&] {
                return readWords(client, client.root(), "_NET_CLIENT_LIST").words == mapping &&
                       readWords(client, client.root(), "_NET_CLIENT_LIST_STACKING").words == stacking;
            },
            10s);
    }
    bool activeSettles(xcb_window_t win) {
        return waitUntil(
            [&] {
                return readWords(client, client.root(), "_NET_ACTIVE_WINDOW").words == Windows{win} &&
                       (win == XCB_NONE || client.focus() == win);
            },
            10s);
    }
    Windows wmState(xcb_window_t win) const {
        const PropertyWords state = readWords(client, win, "WM_STATE");
        return state.type == client.atom("WM_STATE") ? state.words : Windows{};
    }
    void activate(xcb_window_t win) {
        xdotool(server.displayName(), {"windowactivate", "--sync", std::to_string(win)});
    }
};

TEST_F(KioskEwmhTest, RootNamesTheKioskAndListsExactlyTheHintsItSupports) {
    startKiosk(std::nullopt);
    const PropertyWords check = readWords(client, client.root(), "_NET_SUPPORTING_WM_CHECK");
    ASSERT_EQ(check.type, static_cast<xcb_atom_t>(XCB_ATOM_WINDOW));
    ASSERT_EQ(check.words.size(), 1U);
    const xcb_window_t checkWindow = check.words.front();
    EXPECT_EQ(readWords(client, checkWindow, "_NET_SUPPORTING_WM_CHECK").words, Windows{checkWindow});
    EXPECT_EQ(readWords(client, checkWindow, "_NET_WM_NAME").type, client.atom("UTF8_STRING"));
    EXPECT_EQ(readBytes(client, checkWindow, "_NET_WM_NAME"), "velk_kiosk");
    EXPECT_FALSE(client.isMapped(checkWindow));

    Windows supported = readWords(client, client.root(), "_NET_SUPPORTED").words;
    Windows expected;
    for (const char* name : {"_NET_SUPPORTED",
                             "_NET_SUPPORTING_WM_CHECK",
                             "_NET_CLIENT_LIST",
                             "_NET_CLIENT_LIST_STACKING",
                             "_NET_ACTIVE_WINDOW",
                             "_NET_NUMBER_OF_DESKTOPS",
                             "_NET_CURRENT_DESKTOP",
                             "_NET_DESKTOP_GEOMETRY",
                             "_NET_DESKTOP_VIEWPORT",
                             "_NET_WORKAREA",
                             "_NET_CLOSE_WINDOW",
                             "_NET_RESTACK_WINDOW",
                             "_NET_REQUEST_FRAME_EXTENTS",
                             "_NET_WM_NAME",
                             "_NET_WM_PID",
                             "_NET_WM_DESKTOP",
                             "_NET_FRAME_EXTENTS",
                             "_NET_WM_STATE",
                             "_NET_WM_STATE_FULLSCREEN",
                             "_NET_WM_STATE_ABOVE",
                             "_NET_WM_STATE_BELOW",
                             "_NET_WM_STATE_MODAL",
                             "_NET_WM_STATE_DEMANDS_ATTENTION",
                             "_NET_WM_ALLOWED_ACTIONS",
                             "_NET_WM_ACTION_MOVE",
                             "_NET_WM_ACTION_RESIZE",
                             "_NET_WM_ACTION_FULLSCREEN",
                             "_NET_WM_ACTION_CLOSE",
                             "_NET_WM_ACTION_ABOVE",
                             "_NET_WM_ACTION_BELOW",
                             "_NET_WM_WINDOW_TYPE",
                             "_NET_WM_WINDOW_TYPE_NORMAL",
                             "_NET_WM_WINDOW_TYPE_DIALOG",
                             "_NET_WM_WINDOW_TYPE_SPLASH",
                             "_NET_WM_WINDOW_TYPE_DOCK",
                             "_NET_WM_FULLSCREEN_MONITORS",
                             "_NET_WM_STRUT",
                             "_NET_WM_STRUT_PARTIAL"}) {
        expected.push_back(client.atom(name));
    }
    std::sort(supported.begin(), supported.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(supported, expected);
    EXPECT_EQ(readWords(client, client.root(), "_NET_ACTIVE_WINDOW").words, Windows{XCB_NONE});
    EXPECT_EQ(readWords(client, client.root(), "_NET_CLIENT_LIST").type,
              static_cast<xcb_atom_t>(XCB_ATOM_WINDOW));
    // One desktop, the whole screen.
    const std::pair<const char*, Windows> desktop[] = {
        {"_NET_NUMBER_OF_DESKTOPS", {1}},      {"_NET_CURRENT_DESKTOP", {0}},
        {"_NET_DESKTOP_VIEWPORT", {0, 0}},     {"_NET_DESKTOP_GEOMETRY", {1920, 1080}},
        {"_NET_WORKAREA", {0, 0, 1920, 1080}},
    };
    for (const auto& [name, words] : desktop) {
        EXPECT_EQ(readWords(client, client.root(), name).words, words) << name;
    }

    const auto wmctrl = runProcess({"/usr/bin/wmctrl", "-m"}, {{"DISPLAY", server.displayName()}});
    EXPECT_EQ(wmctrl.exitCode(), 0) << wmctrl.err;
    EXPECT_NE(wmctrl.out.find("Name: velk_kiosk\n"), std::string::npos) << wmctrl.out;

    // A stopped kiosk leaves no check window for tools to find; it has
    // waited for the server to take both away before it ended.
    kiosk->child().signal(SIGTERM);
    const auto stopped = kiosk->child().wait(20s);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->status, 0) << stopped->err;
    kiosk.reset();
    EXPECT_EQ(readWords(client, client.root(), "_NET_SUPPORTING_WM_CHECK").type, 0U);
    EXPECT_EQ(readWords(client, client.root(), "_NET_SUPPORTED").type, 0U);
    EXPECT_EQ(readWords(client, client.root(), "_NET_WORKAREA").type, 0U);
    EXPECT_EQ(client.geometry(checkWindow).width, 0);
}

// Activation, raises and withdrawals of four windows a, b, c, d (mapped in
// that order): the lists follow, the focus of a window that goes passes to
// the window below it (not to the newest one), and a window that goes
// without the focus leaves the focus where it is.
TEST_F(KioskEwmhTest, ListsActiveWindowAndWmStateFollowActivationRaisesAndWithdrawals) {
    startKiosk(std::nullopt);
    const xcb_window_t a = mapWindow(WindowSpec{});
    const xcb_window_t b = mapWindow(WindowSpec{});
    const xcb_window_t c = mapWindow(WindowSpec{});
    const xcb_window_t d = mapWindow(WindowSpec{});
    ASSERT_TRUE(rootListsSettle({a, b, c, d}, {a, b, c, d}));
    EXPECT_TRUE(activeSettles(d));
    for (const xcb_window_t win : {a, b, c, d}) {
        EXPECT_EQ(wmState(win), (Windows{1, 0})) << "NormalState expected on " << hex8(win);
    }

    activate(a);
    EXPECT_TRUE(activeSettles(a));
    EXPECT_TRUE(rootListsSettle({a, b, c, d}, {b, c, d, a}));
    const Windows children = rootChildren(client);
    const auto position = [&](xcb_window_t win) {
        return std::find(children.begin(), children.end(), client.frameOf(win)) - children.begin();
    };
    EXPECT_GT(position(a), position(d)) << "the activated window's frame is raised";
    // A client that raises its own window takes the focus with it.
    client.configure(b, XCB_CONFIG_WINDOW_STACK_MODE, {XCB_STACK_MODE_ABOVE});
    EXPECT_TRUE(activeSettles(b));
    EXPECT_TRUE(rootListsSettle({a, b, c, d}, {c, d, a, b}));

    client.unmap(b);
    EXPECT_TRUE(rootListsSettle({a, c, d}, {c, d, a}));
    EXPECT_TRUE(activeSettles(a)) << "the focus goes to the window below, not to the newest";
    EXPECT_EQ(wmState(b), (Windows{0, 0})) << "WithdrawnState expected";

    client.unmap(d);
    EXPECT_TRUE(rootListsSettle({a, c}, {c, a}));
    EXPECT_TRUE(activeSettles(a)) << "a window without the focus went; the focus stays";
    client.unmap(a);
    EXPECT_TRUE(activeSettles(c));
    client.unmap(c);
    EXPECT_TRUE(rootListsSettle({}, {}));
    EXPECT_TRUE(activeSettles(XCB_NONE));
}

// The kiosk writes back the whole state list, the states it does not act on
// included; what it allows follows full screen; a withdrawn client keeps no
// state of the kiosk's to start its next map with.
TEST_F(KioskEwmhTest, StatesAClientSetsAreKeptBesideThoseTheKioskChanges) {
    startKiosk(std::nullopt);
    const xcb_window_t win = client.createWindow(WindowSpec{});
    const Windows own = {client.atom("_NET_WM_STATE_SKIP_TASKBAR"), client.atom("_NET_WM_STATE_STICKY")};
    client.setWords(win, client.atom("_NET_WM_STATE"), XCB_ATOM_ATOM, own);
    client.map(win);
    ASSERT_TRUE(rootListsSettle({win}, {win}));
    EXPECT_EQ(readWords(client, win, "_NET_WM_STATE").words, own);
    EXPECT_EQ(readWords(client, win, "_NET_WM_DESKTOP").words, Windows{0});
    const auto sorted = [](Windows words) {
        std::sort(words.begin(), words.end());
        return words;
    };
    const auto actions = [&](const std::vector<const char*>& names) {
        Windows atoms;
        for (const char* name : names) {
            atoms.push_back(client.atom(std::string("_NET_WM_ACTION_") + name));
        }
        return sorted(atoms);
    };
    EXPECT_EQ(sorted(readWords(client, win, "_NET_WM_ALLOWED_ACTIONS").words),
              actions({"CLOSE", "FULLSCREEN", "ABOVE", "BELOW", "MOVE", "RESIZE"}));

    sendRootMessage(client, win, "_NET_WM_STATE", {1, client.atom("_NET_WM_STATE_FULLSCREEN"), 0, 1, 0});
    Windows withFullscreen = own;
    withFullscreen.push_back(client.atom("_NET_WM_STATE_FULLSCREEN"));
    EXPECT_TRUE(waitUntil(
        [&] { return sorted(readWords(client, win, "_NET_WM_STATE").words) == sorted(withFullscreen); },
        10s));
    EXPECT_EQ(sorted(readWords(client, win, "_NET_WM_ALLOWED_ACTIONS").words),
              actions({"CLOSE", "FULLSCREEN", "ABOVE", "BELOW"}))
        << "a full-screen window is neither moved nor resized";

    client.unmap(win);
    EXPECT_TRUE(rootListsSettle({}, {}));
    EXPECT_EQ(readWords(client, win, "_NET_WM_STATE").type, 0U);
}

TEST_F(KioskEwmhTest, CloseRequestAsksAManagedClientToClose) {
    startKiosk(std::nullopt);
    const xcb_window_t win = mapWindow(WindowSpec{});
    sendRootMessage(client, win, "_NET_CLOSE_WINDOW", {XCB_CURRENT_TIME, 2, 0, 0, 0});
    EXPECT_TRUE(waitUntil([&] { return client.deleteRequests(win) == 1; }, 10s));

    const xcb_window_t bare = client.createBareWindow(0, 0, 10, 10, true);
    sendRootMessage(client, bare, "_NET_CLOSE_WINDOW", {XCB_CURRENT_TIME, 2, 0, 0, 0});
    EXPECT_FALSE(kioskLog("closeWindow: window: " + hex8(bare) + ", managed: `false'").empty());
    EXPECT_EQ(client.deleteRequests(bare), 0);
}

}  // namespace
