// A private Xvfb for one test: it picks a free display itself (-displayfd),
// listens on no TCP port, keeps its state between clients (-noreset) and is
// ended by its pid.  Also X authority files written with the real xauth.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace VelkTest {

struct XvfbOptions {
    // The "-screen 0" argument.
    std::string screen = "1920x1080x24";
    // Passed as "-auth": the server then accepts only clients with its cookies.
    std::optional<std::filesystem::path> authFile;
    std::vector<std::string> extraArgs;
};

class XvfbServer {
public:
    // Returns once the server accepts connections; throws std::runtime_error
    // (with the server's output) when it does not start within 10 s.
    explicit XvfbServer(const XvfbOptions& options = {});
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    uint32_t display() const { return displayNumber; }
    // ":N"
    std::string displayName() const { return ":" + std::to_string(displayNumber); }
    pid_t pid() const { return serverPid; }
    bool running() const { return serverPid > 0; }

    // SIGTERM, then SIGKILL when it has not ended within 5 s; reaps it.
    void stop();
    // SIGKILL, as a crash would end it, and removes the lock and socket files
    // that it could not remove itself.
    void kill();
    // What the server wrote to its standard output and error.
    std::string log() const;

private:
    void reap(int sig);
    void removeLeftovers() const;

    TempDir dir;
    pid_t serverPid = -1;
    uint32_t displayNumber = 0;
};

// The cookie as xauth and XCB_AUTH_COOKIE write it: lower-case hex.
std::string cookieHex(const std::vector<uint8_t>& cookie);

// An authority file with one MIT-MAGIC-COOKIE-1 entry for the display, written
// by xauth.  A server loads every entry of its -auth file whatever display it
// names, so the server's file can be written before its number is known;
// clients look entries up by display name.
void writeCookieFile(const std::filesystem::path& file, const std::vector<uint8_t>& cookie,
                     const std::string& displayName = ":0");

}  // namespace VelkTest
