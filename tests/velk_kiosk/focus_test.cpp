// Focus that follows the user: the ICCCM input models, a click in a client
// or on a frame (raise, focus, and the click still reaches the program), and
// typing into the one of two xterms that was clicked last.
#include <filesystem>

#include "ewmh_probe.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

constexpr uint32_t inputHint = 1;

// A window of `owner` with WM_HINTS input `input` and, when asked,
// WM_TAKE_FOCUS beside WM_DELETE_WINDOW; mapped, and listed by the kiosk.
xcb_window_t mapWithInputModel(const XTestClient& owner, const XTestClient& reader, bool input,
                               bool takeFocus) {
    const xcb_window_t win = owner.createWindow(WindowSpec{});
    owner.setWords(win, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS,
                   {inputHint, input ? 1U : 0U, 0, 0, 0, 0, 0, 0, 0});
    std::vector<uint32_t> protocols = {owner.atom("WM_DELETE_WINDOW")};
    if (takeFocus) {
        protocols.push_back(owner.atom("WM_TAKE_FOCUS"));
    }
    owner.setWords(win, owner.atom("WM_PROTOCOLS"), XCB_ATOM_ATOM, protocols);
    owner.map(win);
    // Listed once the map's handling, focus included, is done.
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto listed = readWords(reader, reader.root(), "_NET_CLIENT_LIST").words;
            return std::find(listed.begin(), listed.end(), win) != listed.end();
        },
        10s));
    return win;
}

xcb_window_t activeWindow(const XTestClient& client) {
    const auto active = readWords(client, client.root(), "_NET_ACTIVE_WINDOW").words;
    return active.empty() ? 0 : active.front();
}

TEST_F(KioskTest, InputModelsDecideHowAWindowIsFocused) {
    startKiosk(std::nullopt);
    XTestClient owner(server.display());
    ReceivedEvents events(owner);

    const xcb_window_t locallyActive = mapWithInputModel(owner, client, true, true);
    EXPECT_TRUE(events.waitForProtocol(locallyActive, "WM_TAKE_FOCUS"));
    EXPECT_EQ(client.focus(), locallyActive);

    // Offered the focus, but not given it: it takes it itself when it will,
    // and until it does the active window is the one that has the focus.
    const xcb_window_t globallyActive = mapWithInputModel(owner, client, false, true);
    EXPECT_TRUE(events.waitForProtocol(globallyActive, "WM_TAKE_FOCUS"));
    EXPECT_EQ(client.focus(), locallyActive);
    EXPECT_EQ(activeWindow(client), locallyActive);

    // An on-screen keyboard's model: never focused, not even by a click.
    const xcb_window_t noInput = mapWithInputModel(owner, client, false, false);
    xdotool(server.displayName(), {"mousemove", "300", "300", "click", "1"});
    syncWithKioskAs(owner);
    EXPECT_EQ(client.focus(), locallyActive);
    EXPECT_EQ(activeWindow(client), locallyActive);
    EXPECT_EQ(events.protocolMessages(noInput, "WM_TAKE_FOCUS"), 0);
    // The globally active window takes the focus itself: the active window follows.
    owner.setFocus(globallyActive);
    EXPECT_TRUE(waitUntil([&] { return activeWindow(client) == globallyActive; }, 10s));

    // A passive client: focused, never offered the protocol it does not list.
    const xcb_window_t passive = mapWithInputModel(owner, client, true, false);
    EXPECT_EQ(client.focus(), passive);
    EXPECT_EQ(events.protocolMessages(passive, "WM_TAKE_FOCUS"), 0);

    // The first window's client acts on its offer only now: the offer is older
    // than the focus the kiosk has given since, and the server ignores it.
    owner.setFocus(locallyActive, events.protocolTime(locallyActive, "WM_TAKE_FOCUS"));
    EXPECT_EQ(client.focus(), passive);
}

// b overlaps a's lower right part; both clients' title bars and a's upper
// left corner stay visible.
TEST_F(KioskTest, ClickInAClientOrOnAFrameRaisesAndFocusesAndTheClientGetsTheClick) {
    startKiosk(std::nullopt);
    XTestClient owner(server.display());
    ReceivedEvents events(owner);
    const xcb_window_t a = owner.createWindow(WindowSpec{});
    owner.map(a);
    ASSERT_NE(waitForFrame(client, a), 0U);
    WindowSpec lower;
    lower.x = 400;
    lower.y = 400;
    const xcb_window_t b = owner.createWindow(lower);
    owner.map(b);
    ASSERT_NE(waitForFrame(client, b), 0U);
    ASSERT_TRUE(waitUntil([&] { return client.focus() == b; }, 10s));
    events.watchButtons(a);

    xdotool(server.displayName(), {"mousemove", "200", "200", "click", "1"});
    EXPECT_TRUE(waitUntil([&] { return client.focus() == a && activeWindow(client) == a; }, 10s));
    EXPECT_TRUE(events.waitForButtonPress(a)) << "the click did not reach the client";
    EXPECT_EQ(readWords(client, client.root(), "_NET_CLIENT_LIST_STACKING").words,
              (std::vector<uint32_t>{b, a}));

    // b's title bar, right of a.
    xdotool(server.displayName(), {"mousemove", "900", "408", "click", "1"});
    EXPECT_TRUE(waitUntil([&] { return client.focus() == b && activeWindow(client) == b; }, 10s));
    EXPECT_EQ(readWords(client, client.root(), "_NET_CLIENT_LIST_STACKING").words,
              (std::vector<uint32_t>{a, b}));
    EXPECT_EQ(client.geometry(client.frameOf(b)), (Geometry{400, 400, 646, 501})) << "a click is no move";
}

// Each xterm runs a shell that writes the first line typed into it to a file.
TEST_F(KioskTest, TypingLandsInTheXtermClickedLast) {
    startKiosk(std::nullopt);
    TempDir dir;
    const auto startXterm = [&](const std::string& name, const std::string& place) {
        const std::string script = "read line; echo \"$line\" > " + (dir / name).string();
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/xterm", "-T", name, "-geometry", "40x10" + place, "-e",
                                     "/bin/sh", "-c", script},
            std::map<std::string, std::string>{{"DISPLAY", server.displayName()}});
    };
    const auto listedClients = [&](size_t count) {
        std::vector<uint32_t> listed;
        waitUntil(
            [&] {
                listed = readWords(client, client.root(), "_NET_CLIENT_LIST").words;
                return listed.size() == count;
            },
            20s);
        return listed;
    };
    const auto older = startXterm("older", "+0+0");
    const std::vector<uint32_t> first = listedClients(1);
    ASSERT_EQ(first.size(), 1U);
    const auto newer = startXterm("newer", "+700+0");
    const std::vector<uint32_t> both = listedClients(2);
    ASSERT_EQ(both.size(), 2U);
    const xcb_window_t olderWindow = both[0];
    const xcb_window_t newerWindow = both[1];
    ASSERT_EQ(olderWindow, first[0]);
    ASSERT_TRUE(waitUntil([&] { return client.focus() == newerWindow; }, 10s));

    xdotool(server.displayName(),
            {"mousemove", "--window", std::to_string(olderWindow), "30", "30", "click", "1"});
    ASSERT_TRUE(waitUntil([&] { return client.focus() == olderWindow; }, 10s));
    xdotool(server.displayName(), {"type", "typed into the older\n"});
    EXPECT_TRUE(waitUntil([&] { return readFile(dir / "older") == "typed into the older\n"; }, 10s))
        << readFile(dir / "older");
    EXPECT_FALSE(std::filesystem::exists(dir / "newer"));
}

}  // namespace
