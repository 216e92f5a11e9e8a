// The kiosk test harness; see kiosk_harness.h.
#include "kiosk_harness.h"

#include "ewmh_probe.h"

#include <signal.h>
#include <sys/mount.h>
#include <xcb/xcb_cursor.h>
#include <xcb/xfixes.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace VelkTest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const fs::path rulesDirectory = "/etc/velk";
const std::string kioskBinary = VELK_KIOSK_BINARY;

std::string describe(const char* call) {
    return std::string(call) + ": " + std::strerror(errno);
}

// The next word of a PPM header; ImageMagick puts comment lines in it.
std::string headerToken(std::istream& in) {
    std::string token;
    while (in >> token && token.front() == '#') {
        std::string rest;
        std::getline(in, rest);
    }
    return token;
}

// Only a pidfd's fdinfo has a "Pid:" line.
bool holdsPidfd(pid_t pid) {
    const fs::path fdinfo = "/proc/" + std::to_string(pid) + "/fdinfo";
    std::error_code ec;
    for (fs::directory_iterator entry(fdinfo, ec), end; !ec && entry != end; entry.increment(ec)) {
        if (readFile(entry->path()).find("\nPid:") != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

RulesMount::RulesMount() {
    fs::create_directories(dir / "rules");
    std::error_code ec;
    if (!fs::is_directory(rulesDirectory, ec)) {
        fs::create_directories(dir / "upper");
        fs::create_directories(dir / "work");
        const std::string options =
            "lowerdir=/etc,upperdir=" + (dir / "upper").string() + ",workdir=" + (dir / "work").string();
        if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) {
            reason = describe("mount overlay on /etc");
            return;
        }
        overlaid = true;
        fs::create_directories(rulesDirectory);
    }
    if (mount((dir / "rules").c_str(), rulesDirectory.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        reason = describe("bind mount on /etc/velk");
        return;
    }
    bound = true;
}

RulesMount::~RulesMount() {
    if (bound) {
        umount2(rulesDirectory.c_str(), MNT_DETACH);
    }
    if (overlaid) {
        umount2("/etc", MNT_DETACH);
    }
}

void RulesMount::write(const std::string& text) const {
    writeFile(dir / "rules" / "velk_kiosk.json", text);
}

void RulesMount::remove() const {
    std::error_code ec;
    fs::remove(dir / "rules" / "velk_kiosk.json", ec);
}

KioskProcess::KioskProcess(const std::string& display, const std::vector<std::string>& program,
                           const std::vector<std::string>& prefix)
    : process(
          [&] {
              std::vector<std::string> argv = prefix;
              argv.push_back(kioskBinary);
              argv.insert(argv.end(), program.begin(), program.end());
              return argv;
          }(),
          {{"DISPLAY", display}}, {"XCB_AUTH_COOKIE"}) {}

pid_t KioskProcess::programPid() const {
    pid_t found = -1;
    waitUntil(
        [&] {
            const auto children = childrenOf(process.pid());
            found = children.empty() ? -1 : children.front();
            return found > 0;
        },
        10s);
    return found;
}

std::optional<ProcessResult> KioskProcess::endProgram(int sig) {
    const pid_t program = programPid();
    if (program > 0) {
        kill(program, sig);
    }
    return process.wait(20s);
}

void KioskTest::SetUp() {
    if (!journal.failure().empty()) {
        GTEST_SKIP() << journal.failure();
    }
    ASSERT_TRUE(rules.failure().empty()) << rules.failure();
}

void KioskTest::TearDown() {
    if (!kiosk) {
        return;
    }
    ASSERT_TRUE(kiosk->child().running())
        << "the kiosk ended before the test stopped it: " << kiosk->child().errText();
    kiosk->child().signal(SIGTERM);
    // The kiosk ends its program itself; the test does so only to clean up.
    auto result = kiosk->child().wait(20s);
    if (!result) {
        ADD_FAILURE() << "the kiosk did not end its program on SIGTERM";
        result = kiosk->endProgram();
    }
    ASSERT_TRUE(result) << "the kiosk did not end after its program";
    EXPECT_TRUE(result->exited());
    EXPECT_EQ(result->exitCode(), 0) << result->err;
    EXPECT_EQ(result->err.find("Sanitizer"), std::string::npos) << result->err;
}

void KioskTest::startKiosk(const std::optional<std::string>& rulesJson,
                           const std::vector<std::string>& program) {
    if (rulesJson) {
        rules.write(*rulesJson);
    } else {
        rules.remove();
    }
    kiosk = std::make_unique<KioskProcess>(server.displayName(), program, kioskPrefix);
    // The program's pidfd comes just after its start: once it is there, the
    // kiosk holds what it holds for the rest of its life.
    const bool managing = waitUntil(
        [&] {
            const bool redirect = (client.rootEventMasks() & XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT) != 0;
            return (redirect && holdsPidfd(kiosk->pid())) || !kiosk->child().running();
        },
        10s);
    ASSERT_TRUE(managing && kiosk->child().running())
        << "the kiosk did not take the root redirect and hold its program: " << kiosk->child().errText();
}

std::vector<std::string> KioskTest::kioskLog(const std::string& marker, size_t expected) const {
    return journal.messages(marker, expected, 10s, kiosk ? kiosk->pid() : 0);
}

xcb_window_t KioskTest::mapWindow(const WindowSpec& params, bool framed) {
    const xcb_window_t win = client.createWindow(params);
    client.map(win);
    if (framed) {
        EXPECT_NE(waitForFrame(client, win), 0U) << "window " << win << " got no frame";
    }
    return win;
}

void KioskTest::syncWithKiosk() {
    WindowSpec params;
    params.instance = "";
    params.name = "sync";
    params.width = 10;
    params.height = 10;
    const xcb_window_t win = mapWindow(params);
    client.destroy(win);
}

void KioskTest::syncWithKioskAs(const XTestClient& owner) {
    const xcb_window_t unmapped = owner.createWindow(WindowSpec{});
    sendRootMessage(owner, unmapped, "_NET_REQUEST_FRAME_EXTENTS", {0, 0, 0, 0, 0});
    EXPECT_TRUE(waitUntil([&] { return readWords(client, unmapped, "_NET_FRAME_EXTENTS").words.size() == 4; },
                          std::chrono::seconds(10)))
        << "the kiosk did not answer";
    owner.destroy(unmapped);
}

uint32_t Screenshot::pixel(int x, int y) const {
    const size_t at = (static_cast<size_t>(y) * width + x) * 3;
    return uint32_t{rgb[at]} << 16 | uint32_t{rgb[at + 1]} << 8 | rgb[at + 2];
}

Screenshot screenshot(const std::string& display, const Geometry& region) {
    TempDir dir;
    const fs::path ppm = dir / "shot.ppm";
    const std::string crop = std::to_string(region.width) + "x" + std::to_string(region.height) + "+" +
                             std::to_string(region.x) + "+" + std::to_string(region.y);
    // import reads what is shown; xwd draws windows of a 32-bit visual black.
    const auto result = runProcess({"/usr/bin/import", "-display", display, "-window", "root", "-crop", crop,
                                    "+repage", "-depth", "8", "ppm:" + ppm.string()});
    if (result.exitCode() != 0) {
        throw std::runtime_error("screenshot failed: " + result.err);
    }
    std::ifstream in(ppm, std::ios::binary);
    const std::string magic = headerToken(in);
    Screenshot shot;
    shot.width = std::stoi(headerToken(in));
    shot.height = std::stoi(headerToken(in));
    headerToken(in);  // the largest sample value, 255 at depth 8
    in.get();
    shot.rgb.resize(static_cast<size_t>(shot.width) * shot.height * 3);
    in.read(reinterpret_cast<char*>(shot.rgb.data()), static_cast<std::streamsize>(shot.rgb.size()));
    if (magic != "P6" || !in) {
        throw std::runtime_error("screenshot: unreadable " + ppm.string());
    }
    return shot;
}

void xdotool(const std::string& display, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = runProcess(argv, {{"DISPLAY", display}});
    if (result.exitCode() != 0) {
        throw std::runtime_error("xdotool failed: " + result.err);
    }
}

std::vector<uint32_t> cursorImage(const XTestClient& client) {
    xcb_connection_t* conn = client.connection();
    std::free(xcb_xfixes_query_version_reply(conn, xcb_xfixes_query_version(conn, 6, 0), nullptr));
    auto* reply = xcb_xfixes_get_cursor_image_reply(conn, xcb_xfixes_get_cursor_image(conn), nullptr);
    if (!reply) {
        return {};
    }
    const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply);
    std::vector<uint32_t> image = {reply->width, reply->height, reply->xhot, reply->yhot};
    image.insert(image.end(), pixels, pixels + xcb_xfixes_get_cursor_image_cursor_image_length(reply));
    std::free(reply);
    return image;
}

std::vector<uint32_t> themeCursorImage(const XTestClient& client, const std::string& display,
                                       const char* name) {
    xcb_connection_t* conn = client.connection();
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
    xcb_cursor_context_t* context = nullptr;
    if (xcb_cursor_context_new(conn, screen, &context) < 0) {
        return {};
    }
    const xcb_cursor_t cursor = xcb_cursor_load_cursor(context, name);
    const xcb_window_t probe = xcb_generate_id(conn);
    const uint32_t values[] = {1, cursor};
    xcb_create_window(conn, XCB_COPY_FROM_PARENT, probe, screen->root, 1800, 1000, 60, 60, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_CURSOR, values);
    xcb_map_window(conn, probe);
    xcb_flush(conn);
    xdotool(display, {"mousemove", "1830", "1030"});
    std::vector<uint32_t> image;
    waitUntil(
        [&] {
            image = cursorImage(client);
            return image.size() > 4;
        },
        5s);
    xcb_destroy_window(conn, probe);
    xcb_cursor_context_free(context);
    xcb_flush(conn);
    return image;
}

xcb_window_t waitForFrame(const XTestClient& client, xcb_window_t win) {
    xcb_window_t frame = 0;
    waitUntil(
        [&] {
            frame = client.frameOf(win);
            return frame != 0;
        },
        10s);
    return frame;
}

bool waitForGeometry(const XTestClient& client, xcb_window_t win, const Geometry& expected, Geometry* last) {
    Geometry seen;
    const bool reached = waitUntil(
        [&] {
            seen = client.geometry(win);
            return seen == expected;
        },
        10s);
    if (last) {
        *last = seen;
    }
    return reached;
}

}  // namespace VelkTest
