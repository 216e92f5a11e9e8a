// Monitors and docks as the kiosk meets them: a 3200x1080 screen that xrandr
// shows on two monitors (full-screen windows on one of them, dialogs and
// windows kept on one, a monitor that goes, a window that spans two, as
// xfreerdp's /multimon makes one against freerdp-shadow-cli), a
// dock's strut and the work area it leaves, onboard docked below a
// full-screen window, and a rule that finds a window without WM_CLASS by
// its name.
#include <map>

#include "client_wishes.h"
#include "ewmh_probe.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"
#include "screen_mode.h"

namespace {

using namespace VelkTest;
using Words = std::vector<uint32_t>;

const Geometry leftMonitor{0, 0, 1920, 1080};
const Geometry rightMonitor{1920, 0, 1280, 1024};

// "left" 1920x1080 with the screen's one output, "right" 1280x1024 beside
// it, set before the kiosk starts.
class MonitorTest : public KioskTest {
protected:
    MonitorTest() : KioskTest(wideScreen()) {}

    static XvfbOptions wideScreen() {
        XvfbOptions options;
        options.screen = "3200x1080x24";
        return options;
    }
    void SetUp() override {
        KioskTest::SetUp();
        xrandr(server.displayName(), {"--setmonitor", "left", "1920/508x1080/286+0+0", "screen"});
        xrandr(server.displayName(), {"--setmonitor", "right", "1280/339x1024/271+1920+0", "none"});
    }
    xcb_window_t mapAt(const char* instance, int16_t x, uint16_t width = 640, uint16_t height = 480) {
        WindowSpec params;
        params.instance = instance;
        params.x = x;
        params.width = width;
        params.height = height;
        return mapWindow(params);
    }
};

TEST_F(MonitorTest, AFullScreenWindowCoversTheMonitorItsRuleNamesOrItIsMostlyOnOrThePrimary) {
    startKiosk(R"([{"wm:class": "named", "monitor": "right"}, {"wm:class": "indexed", "monitor": "1"},
                   {"wm:class": "fixed", "titlebar": false}, {"wm:class": "full"}])");
    struct Case {
        const char* instance;
        int16_t x;
        Geometry frame;
    };
    const Case cases[] = {
        {"full", 100, leftMonitor},   {"full", 1800, rightMonitor},   {"full", -3000, leftMonitor},
        {"named", 100, rightMonitor}, {"indexed", 100, rightMonitor},
    };
    for (const Case& one : cases) {
        EXPECT_TRUE(settlesAt(client, client.frameOf(mapAt(one.instance, one.x)), one.frame))
            << one.instance << " at " << one.x;
    }
    // In the full-screen state, with no rule: the whole monitor, undecorated.
    WindowSpec stateSpec;
    stateSpec.instance = "state";
    stateSpec.x = 2000;
    const xcb_window_t state = client.createWindow(stateSpec);
    askFullscreenState(client, state);
    client.map(state);
    EXPECT_TRUE(settlesAt(client, waitForFrame(client, state), rightMonitor));
    EXPECT_TRUE(settlesAt(client, state, {0, 0, 1280, 1024}));
    // One that cannot be resized keeps its size, centred on its monitor.
    WindowSpec fixedSpec;
    fixedSpec.instance = "fixed";
    fixedSpec.x = 2000;
    fixedSpec.width = 800;
    fixedSpec.height = 600;
    const xcb_window_t fixed = client.createWindow(fixedSpec);
    setFixedSize(client, fixed, 800, 600);
    client.map(fixed);
    EXPECT_TRUE(settlesAt(client, waitForFrame(client, fixed), {2160, 212, 800, 600}));
}

TEST_F(MonitorTest, DialogsAreCentredOnTheirParentsMonitorAndWindowsKeptOnOne) {
    startKiosk(R"([{"wm:class": "full"}])");
    const xcb_window_t parent = mapAt("full", 2000);
    struct Case {
        std::string type;
        bool transient;
        Geometry frame;
    };
    // An 800x300 dialog is framed 806x321; a 400x200 splash window is not decorated.
    const Case cases[] = {
        {"_NET_WM_WINDOW_TYPE_DIALOG", true, {2157, 351, 806, 321}},
        {"_NET_WM_WINDOW_TYPE_DIALOG", false, {557, 379, 806, 321}},
        {"_NET_WM_WINDOW_TYPE_SPLASH", true, {2360, 412, 400, 200}},
        {"_NET_WM_WINDOW_TYPE_SPLASH", false, {760, 440, 400, 200}},
    };
    for (const Case& one : cases) {
        WindowSpec params;
        params.instance = "dialog";
        params.types = {one.type};
        params.width = one.type == cases[0].type ? 800 : 400;
        params.height = one.type == cases[0].type ? 300 : 200;
        const xcb_window_t win = client.createWindow(params);
        if (one.transient) {
            setTransientFor(client, win, parent);
        }
        client.map(win);
        EXPECT_TRUE(settlesAt(client, waitForFrame(client, win), one.frame))
            << one.type << " " << one.transient;
    }
    // A window across the monitors' edge goes onto the one it is mostly on.
    EXPECT_TRUE(settlesAt(client, client.frameOf(mapAt("other", 1700)), {1920, 100, 646, 501}));
}

TEST_F(MonitorTest, TheWindowsOfAMonitorThatGoesMoveOntoOneThatRemains) {
    startKiosk(R"([{"wm:class": "full"}])");
    const xcb_window_t full = mapAt("full", 2000);
    const xcb_window_t other = mapAt("other", 2100);
    EXPECT_TRUE(settlesAt(client, client.frameOf(full), rightMonitor));
    xrandr(server.displayName(), {"--delmonitor", "right"});
    EXPECT_TRUE(settlesAt(client, client.frameOf(full), leftMonitor));
    EXPECT_TRUE(settlesAt(client, client.frameOf(other), {637, 289, 646, 501}));
}

TEST_F(MonitorTest, AFullScreenWindowSpansTheMonitorsItAsksFor) {
    startKiosk(std::nullopt);
    WindowSpec params;
    const xcb_window_t win = client.createWindow(params);
    askFullscreenState(client, win);
    client.map(win);
    EXPECT_TRUE(settlesAt(client, win, leftMonitor));
    // Top, bottom and left edges on "left", the right edge on "right".
    sendRootMessage(client, win, "_NET_WM_FULLSCREEN_MONITORS", {0, 0, 0, 1, 1});
    EXPECT_TRUE(settlesAt(client, win, {0, 0, 3200, 1080}));
    EXPECT_EQ(propertyWords(client, win, "_NET_WM_FULLSCREEN_MONITORS"), (Words{0, 0, 0, 1}));
}

TEST_F(MonitorTest, XfreerdpInFullScreenOnEveryMonitorSpansBoth) {
    // Narrower on the right, so that the two monitors' box is not the screen.
    xrandr(server.displayName(), {"--delmonitor", "right"});
    xrandr(server.displayName(), {"--setmonitor", "right", "1000/265x1024/271+1920+0", "none"});
    startKiosk(std::nullopt);
    // The remote desktop: freerdp-shadow-cli on an Xvfb of its own.
    XvfbServer remote;
    TempDir dir;
    const std::string socket = (dir / "rdp.sock").string();
    ChildProcess shadow({"/usr/bin/freerdp-shadow-cli", "/ipc-socket:" + socket, "-auth"},
                        {{"DISPLAY", remote.displayName()}, {"HOME", dir.path().string()}});
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(10)))
        << shadow.errText();
    ChildProcess viewer({"/usr/bin/xfreerdp", "/v:" + socket, "/cert:ignore", "/f", "/multimon"},
                        {{"DISPLAY", server.displayName()}, {"HOME", dir.path().string()}});
    const std::vector<FramedClient> framed = waitForFramedClients(client, 1);
    ASSERT_EQ(framed.size(), 1U) << viewer.errText();
    EXPECT_TRUE(settlesAt(client, framed.front().frame, {0, 0, 2920, 1080}));
    EXPECT_TRUE(settlesAt(client, framed.front().client, {0, 0, 2920, 1080}));
    // Through the EWMH request, which the kiosk keeps on the window.
    EXPECT_EQ(propertyWords(client, framed.front().client, "_NET_WM_FULLSCREEN_MONITORS"),
              (Words{0, 0, 0, 1}));
}

::testing::AssertionResult workAreaSettles(const XTestClient& client, const Words& expected) {
    Words last;
    if (waitUntil(
            [&] {
                last = readWords(client, client.root(), "_NET_WORKAREA").words;
                return last == expected;
            },
            std::chrono::seconds(10))) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "_NET_WORKAREA has " << last.size() << " words, height " << (last.size() == 4 ? last[3] : 0);
}

TEST_F(KioskTest, ADockIsNeitherFramedNorFocusedStaysAboveAndItsStrutShrinksFullScreenRuleWindows) {
    startKiosk(R"([{"wm:class": "*"}])");
    const xcb_window_t full = mapWindow(WindowSpec{});
    WindowSpec dockSpec;
    dockSpec.instance = "dock";
    dockSpec.types = {"_NET_WM_WINDOW_TYPE_DOCK"};
    dockSpec.x = 0;
    dockSpec.y = 880;
    dockSpec.width = 1920;
    dockSpec.height = 200;
    const xcb_window_t dock = client.createWindow(dockSpec);
    const xcb_atom_t partial = client.atom("_NET_WM_STRUT_PARTIAL");
    client.setWords(dock, partial, XCB_ATOM_CARDINAL, {0, 0, 0, 200, 0, 0, 0, 0, 0, 0, 0, 1919});
    client.map(dock);
    EXPECT_TRUE(settlesAt(client, client.frameOf(full), {0, 0, 1920, 880}));
    EXPECT_TRUE(workAreaSettles(client, {0, 0, 1920, 880}));
    // The "*" rule does not hold the dock: it stands where it asked, unframed.
    EXPECT_TRUE(settlesAt(client, dock, {0, 880, 1920, 200}));
    EXPECT_EQ(client.frameOf(dock), 0U);
    EXPECT_EQ(client.focus(), full);
    // A window in the full-screen state covers the whole screen all the same,
    // and comes on top of the normal windows, under the dock.
    const xcb_window_t state = client.createWindow(WindowSpec{});
    askFullscreenState(client, state);
    client.map(state);
    EXPECT_TRUE(settlesAt(client, waitForFrame(client, state), {0, 0, 1920, 1080}));
    EXPECT_TRUE(stackSettles(client, {full, state, dock}));
    xdotool(server.displayName(), {"mousemove", "900", "950", "click", "1"});
    syncWithKioskAs(client);
    EXPECT_NE(client.focus(), dock);
    // Its strut changes after its map, then it goes.
    client.setWords(dock, partial, XCB_ATOM_CARDINAL, {0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 1919});
    EXPECT_TRUE(settlesAt(client, client.frameOf(full), {0, 0, 1920, 980}));
    EXPECT_TRUE(workAreaSettles(client, {0, 0, 1920, 980}));
    client.unmap(dock);
    EXPECT_TRUE(settlesAt(client, client.frameOf(full), {0, 0, 1920, 1080}));
    EXPECT_TRUE(workAreaSettles(client, {0, 0, 1920, 1080}));
}

TEST_F(KioskTest, OnboardDockedAtTheBottomLeavesTheFullScreenWindowAboveIt) {
    startKiosk(R"([{"wm:class": "*"}])");
    const xcb_window_t full = mapWindow(WindowSpec{});
    TempDir dir;
    std::filesystem::create_directories(dir / "glib-2.0" / "settings");
    writeFile(dir / "glib-2.0" / "settings" / "keyfile",
              "[org/onboard/window]\ndocking-enabled=true\ndocking-shrink-workarea=true\n"
              "[org/onboard]\nstart-minimized=false\nshow-status-icon=false\n");
    const std::string bus = "unix:path=" + (dir / "bus").string();
    ChildProcess daemon({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + bus});
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(dir / "bus"); }, std::chrono::seconds(10)));
    // Its settings alone: docked, shrinking the work area.
    ChildProcess onboard({"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "DBUS_SESSION_BUS_ADDRESS=" + bus,
                          "DISPLAY=" + server.displayName(), "HOME=" + dir.path().string(),
                          "XDG_CONFIG_HOME=" + dir.path().string(), "GSETTINGS_BACKEND=keyfile",
                          "/usr/bin/onboard"});
    // Its dock's height is its own: the full-screen window ends where it begins.
    const xcb_atom_t dockType = client.atom("_NET_WM_WINDOW_TYPE_DOCK");
    Geometry keyboard;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const xcb_window_t child : rootChildren(client)) {
                if (client.isMapped(child) && readBytes(client, child, "WM_CLASS").rfind("onboard", 0) == 0 &&
                    readWords(client, child, "_NET_WM_WINDOW_TYPE").words == Words{dockType}) {
                    keyboard = client.geometry(child);
                }
            }
            return keyboard.y > 0 && keyboard.y + keyboard.height == 1080;
        },
        std::chrono::seconds(20)))
        << toString(keyboard) << onboard.errText();
    EXPECT_TRUE(settlesAt(client, client.frameOf(full), {0, 0, 1920, keyboard.y}));
    EXPECT_TRUE(workAreaSettles(client, {0, 0, 1920, static_cast<uint32_t>(keyboard.y)}));
}

TEST_F(KioskTest, ARuleFindsAWindowWithoutAClassByItsName) {
    startKiosk(R"([{"wm:name": "Key*"}])");
    WindowSpec keyboard;
    keyboard.instance = "";
    keyboard.name = "Keyboard";
    expectFullscreen(client, mapWindow(keyboard));
    keyboard.name = "Other";
    const xcb_window_t unnamed = mapWindow(keyboard);
    EXPECT_TRUE(settlesAt(client, unnamed, {3, 18, 640, 480}));
}

}  // namespace
