// The rules file as the running kiosk reads it: class, prefix and "*"
// patterns against real WM_CLASS properties, types, roles, no file, a file
// that is no array, a mistyped flag, and properties that clients get wrong.
#include "kiosk_expect.h"
#include "kiosk_harness.h"

namespace {

using namespace VelkTest;

WindowSpec windowOf(const std::string& instance, const std::string& className = "VelkTest") {
    WindowSpec params;
    params.instance = instance;
    params.className = className;
    return params;
}

TEST_F(KioskTest, ClassRuleMatchesTheInstanceNameNeverTheClassName) {
    startKiosk(R"([{"wm:class": "velk-test"}, {"wm:class": "OtherClass"}])");
    const xcb_window_t byInstance = mapWindow(windowOf("velk-test"));
    expectFullscreen(client, byInstance);
    const xcb_window_t byClassName = mapWindow(windowOf("other", "OtherClass"));
    expectWindowed(client, byClassName);
    EXPECT_FALSE(kioskLog("findJsonWindow: found class: `velk-test'").empty());
}

TEST_F(KioskTest, PrefixPatternMatchesInstancesThatStartWithIt) {
    startKiosk(R"([{"wm:class": "velk*ignored"}])");
    expectFullscreen(client, mapWindow(windowOf("velk-test")));
    expectWindowed(client, mapWindow(windowOf("vel")));
    EXPECT_FALSE(kioskLog("findJsonWindow: found token: `velk'").empty());
}

TEST_F(KioskTest, StarMatchesEveryWindowThatHasAClassAndNoOther) {
    startKiosk(R"([{"wm:class": "*"}])");
    expectFullscreen(client, mapWindow(windowOf("anything")));
    expectWindowed(client, mapWindow(windowOf("")));
}

TEST_F(KioskTest, TypeRuleBeforeTheGeneralRuleTakesTheFirstKnownTypeName) {
    startKiosk(R"([{"wm:window:type": "splash", "fullscreen": false}, {"wm:class": "*"}])");
    WindowSpec splash = windowOf("app");
    splash.types = {"_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_SPLASH"};
    expectWindowed(client, mapWindow(splash));
    WindowSpec normal = windowOf("app");
    normal.types = {"_NET_WM_WINDOW_TYPE_NORMAL"};
    expectFullscreen(client, mapWindow(normal));
}

TEST_F(KioskTest, RoleRuleAppliesOnlyToThatRole) {
    startKiosk(R"([{"wm:window:role": "viewer", "fullscreen": false}, {"wm:class": "*"}])");
    WindowSpec viewer = windowOf("app");
    viewer.role = "viewer";
    expectWindowed(client, mapWindow(viewer));
    WindowSpec editor = windowOf("app");
    editor.role = "editor";
    expectFullscreen(client, mapWindow(editor));
}

TEST_F(KioskTest, WithoutARulesFileNoWindowIsFullScreen) {
    startKiosk(std::nullopt);
    expectWindowed(client, mapWindow(windowOf("xterm")));
}

TEST_F(KioskTest, RulesFileHoldingAnObjectIsLoggedAndGivesNoRules) {
    startKiosk(R"({"wm:class": "*"})");
    expectWindowed(client, mapWindow(windowOf("velk-test")));
    EXPECT_EQ(kioskLog("not json array").front(), "WmKiosk: not json array, file: /etc/velk/velk_kiosk.json");
}

TEST_F(KioskTest, FlagGivenAsTextEndsTheKioskThroughMain) {
    rules.write(R"([{"wm:class": "xterm", "frame": "yes"}])");
    KioskProcess process(server.displayName(), {"/bin/sleep", "600"});
    const auto result = process.child().wait(std::chrono::seconds(20));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 0);
    EXPECT_EQ(result->err.rfind("exception: ", 0), 0U) << result->err;
    EXPECT_NE(result->err.find("bool"), std::string::npos) << result->err;
}

TEST_F(KioskTest, MalformedPropertiesAreReadSafely) {
    startKiosk(R"([{"wm:class": "velk-test"}])");
    WindowSpec params = windowOf("");
    params.name = "";
    const xcb_window_t win = client.createWindow(params);
    // WM_CLASS without its NULs, a type list of the wrong type, an oversized
    // name, a PID as text and a 15-word size hint.
    client.setBytes(win, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, "velk-test");
    client.setBytes(win, client.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_STRING, "_NET_WM_WINDOW_TYPE_DIALOG");
    client.setBytes(win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, std::string(200000, 'n'));
    client.setBytes(win, client.atom("_NET_WM_PID"), XCB_ATOM_STRING, "1234");
    client.setWords(win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS,
                    std::vector<uint32_t>(15, 0xFFFFFFFF));
    client.map(win);
    ASSERT_NE(waitForFrame(client, win), 0U);
    expectFullscreen(client, win);
}

}  // namespace
