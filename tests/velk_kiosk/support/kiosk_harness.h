// What the kiosk's system tests stand on: a private journal and a private
// rules file at /etc/velk/velk_kiosk.json (both in the test's own mount
// namespace), a private Xvfb, velk_kiosk run as a process on it, and the
// screen and pointer seen through the real tools (import, xdotool).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "private_journal.h"
#include "test_support.h"
#include "x_test_client.h"
#include "xvfb_server.h"

namespace VelkTest {

// A directory of the test's own bound over /etc/velk in the current mount
// namespace (which must be private: PrivateJournal makes it so).  Where
// /etc/velk does not exist, /etc gets an overlay whose upper layer is a temp
// directory, so the host's /etc is never written.
class RulesMount {
public:
    RulesMount();
    ~RulesMount();
    RulesMount(const RulesMount&) = delete;
    RulesMount& operator=(const RulesMount&) = delete;

    // Empty when mounted; else why not.
    const std::string& failure() const { return reason; }
    void write(const std::string& text) const;
    void remove() const;

private:
    TempDir dir;
    bool overlaid = false;
    bool bound = false;
    std::string reason;
};

// velk_kiosk started on a display with a program; ended by pid.
class KioskProcess {
public:
    KioskProcess(const std::string& display, const std::vector<std::string>& program,
                 const std::vector<std::string>& prefix = {});

    pid_t pid() const { return process.pid(); }
    ChildProcess& child() { return process; }
    // The kiosk's own child (its program), waited for up to 10 s; -1 when none.
    pid_t programPid() const;
    // Stops the program's process with the signal, then waits for the kiosk.
    std::optional<ProcessResult> endProgram(int sig = SIGTERM);

private:
    ChildProcess process;
};

class KioskTest : public ::testing::Test {
protected:
    KioskTest() = default;
    // On an Xvfb of its own options (another screen size).
    explicit KioskTest(const XvfbOptions& options) : server(options) {}

    void SetUp() override;
    // Checks that the kiosk still runs, stops it with SIGTERM (which it
    // passes on to its program), and expects status 0 without sanitizer
    // reports.
    void TearDown() override;

    // Writes the rules (none when empty) and starts the kiosk with
    // `/bin/sleep 600` (or the given program); returns once it holds the root
    // redirect and its program.
    void startKiosk(const std::optional<std::string>& rulesJson,
                    const std::vector<std::string>& program = {"/bin/sleep", "600"});
    // The kiosk's journal messages containing the marker, waiting (bounded)
    // for at least `expected` of them.
    std::vector<std::string> kioskLog(const std::string& marker, size_t expected = 1) const;
    // A window created and mapped; its frame awaited when `framed`.
    xcb_window_t mapWindow(const WindowSpec& params, bool framed = true);
    // Maps a throwaway window and waits for its frame: every event the kiosk
    // got before has then been handled.
    void syncWithKiosk();
    // Without a window that takes the focus: waits until the kiosk has
    // handled the events about `owner`'s windows so far (owner asks for the
    // frame extents of a window of its own, which the kiosk answers in turn).
    void syncWithKioskAs(const XTestClient& owner);

    PrivateJournal journal;
    RulesMount rules;
    XvfbServer server;
    XTestClient client{server.display()};
    std::unique_ptr<KioskProcess> kiosk;
    // What startKiosk starts velk_kiosk behind (a command and its arguments).
    std::vector<std::string> kioskPrefix;
};

// RGB pixels of a screen region, taken with ImageMagick's import.
struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
    uint32_t pixel(int x, int y) const;
};
Screenshot screenshot(const std::string& display, const Geometry& region);

// xdotool with the display's name; its arguments as xdotool takes them.
void xdotool(const std::string& display, const std::vector<std::string>& args);

// The cursor image now shown (size, hot spot, then ARGB pixels), read with XFixes.
std::vector<uint32_t> cursorImage(const XTestClient& client);

// What the theme's cursor of that name looks like, as cursorImage reads it:
// shown over a window of the test's own at 1800,1000 (60x60).
std::vector<uint32_t> themeCursorImage(const XTestClient& client, const std::string& display,
                                       const char* name);

// Waits (bounded) until the window is framed; the frame or 0.
xcb_window_t waitForFrame(const XTestClient& client, xcb_window_t win);
// Waits (bounded) until the window has that geometry; false with the last one
// seen in `last`.
bool waitForGeometry(const XTestClient& client, xcb_window_t win, const Geometry& expected,
                     Geometry* last = nullptr);

}  // namespace VelkTest
