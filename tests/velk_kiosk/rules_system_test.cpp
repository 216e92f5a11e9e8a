// The rules file as the running kiosk reads it: class, prefix and "*"
// patterns against real WM_CLASS properties, types, roles, no file, a file
// that is no array or does not parse, a mistyped flag, the file read again on
// SIGHUP (and kept when it has problems), a file named with --rules, and
// properties that clients get wrong.
#include <sstream>

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
    startKiosk(R"([{"wm:window:type": "utility", "fullscreen": false}, {"wm:class": "*"}])");
    WindowSpec utility = windowOf("app");
    utility.types = {"_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_UTILITY"};
    expectWindowed(client, mapWindow(utility));
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
    EXPECT_EQ(kioskLog("expected an array").front(),
              "loadRules: /etc/velk/velk_kiosk.json:1:1: expected an array of rules, found an object");
}

// A kiosk must still show its program: the file is logged with the place of
// its mistake, the check says the same, and the kiosk runs without rules.
TEST_F(KioskTest, RulesFileWithATrailingCommaIsLocatedInTheLogAndByTheCheck) {
    const std::string broken = "[\n  {\"wm:class\": \"*\"},\n]\n";
    rules.write(broken);
    const auto check = runProcess({VELK_KIOSK_BINARY, "--check-rules"});
    EXPECT_EQ(check.exitCode(), 1);
    const std::string problem =
        "/etc/velk/velk_kiosk.json:3:1: Syntax error: value, object or array expected.";
    EXPECT_EQ(check.err, problem + "\n");

    startKiosk(broken);
    expectWindowed(client, mapWindow(windowOf("velk-test")));
    const auto records = journal.records(problem, 1, std::chrono::seconds(10), kiosk->pid());
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records.front()["MESSAGE"].asString(), "loadRules: " + problem);
    EXPECT_EQ(records.front()["PRIORITY"].asString(), "3");
}

// The mistyped rule is left out, the next one applies; the kiosk goes on.
TEST_F(KioskTest, RuleWithAFlagGivenAsTextIsSkippedAndTheOthersApply) {
    startKiosk(R"([{"wm:class": "velk-test", "fullscreen": false, "frame": "yes"}, {"wm:class": "*"}])");
    expectFullscreen(client, mapWindow(windowOf("velk-test")));
    EXPECT_EQ(kioskLog("frame: expected a boolean").front(),
              "loadRules: /etc/velk/velk_kiosk.json:1:58: frame: expected a boolean, found a string");
    EXPECT_EQ(kioskLog("rules in use").front(),
              "loadRules: rules in use: 1, file: /etc/velk/velk_kiosk.json");

    const auto check = runProcess({VELK_KIOSK_BINARY, "--check-rules"});
    EXPECT_EQ(check.exitCode(), 1);
    rules.write(R"([{"wm:class": "*"}])");
    const auto fine = runProcess({VELK_KIOSK_BINARY, "--check-rules"});
    EXPECT_EQ(fine.exitCode(), 0) << fine.err;
    EXPECT_EQ(fine.out, "/etc/velk/velk_kiosk.json: OK, 1 rule\n");
}

TEST_F(KioskTest, SighupReadsTheRulesAgainForWindowsMappedAfterwards) {
    startKiosk(R"([{"wm:class": "velk-test", "fullscreen": false}])");
    expectWindowed(client, mapWindow(windowOf("velk-test")));

    rules.write(R"([{"wm:class": "velk-test"}])");
    kiosk->child().signal(SIGHUP);
    EXPECT_EQ(kioskLog("rules read again").front(),
              "reloadRules: rules read again, rules: 1, file: /etc/velk/velk_kiosk.json");
    expectFullscreen(client, mapWindow(windowOf("velk-test")));
}

// --rules=PATH names the file read at start and on every SIGHUP.  One with
// problems is logged problem by problem, as --check-rules says them, and the
// rules in force stay; one that passes replaces them.
TEST_F(KioskTest, SighupKeepsTheRulesInForceWhileTheNamedFileHasProblems) {
    TempDir dir;
    const std::string path = (dir / "kiosk.json").string();
    writeFile(path, R"([{"wm:class": "velk-test"}])");
    startKiosk(std::nullopt, {"--rules=" + path, "/bin/sleep", "600"});
    expectFullscreen(client, mapWindow(windowOf("velk-test")));

    // Put in force, its second rule would leave the window as it is.
    writeFile(
        path,
        "[{\"frame\": \"yes\"},\n {\"wm:class\": \"velk-test\", \"fullscreen\": false, \"fulscreen\": 1}]");
    const auto check = runProcess({VELK_KIOSK_BINARY, "--check-rules", path});
    std::vector<std::string> problems;
    std::istringstream lines(check.err);
    for (std::string line; std::getline(lines, line);) {
        problems.push_back("reloadRules: " + line);
    }
    ASSERT_EQ(problems.size(), 2U) << check.err;
    kiosk->child().signal(SIGHUP);
    EXPECT_EQ(kioskLog("reloadRules: " + path + ":", 2), problems);
    EXPECT_EQ(kioskLog("rules in force kept"),
              std::vector<std::string>{"reloadRules: rules in force kept: 1, file: " + path});
    expectFullscreen(client, mapWindow(windowOf("velk-test")));

    writeFile(path, R"([{"wm:class": "velk-test", "fullscreen": false}])");
    kiosk->child().signal(SIGHUP);
    EXPECT_FALSE(kioskLog("reloadRules: rules read again, rules: 1, file: " + path).empty());
    expectWindowed(client, mapWindow(windowOf("velk-test")));
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
