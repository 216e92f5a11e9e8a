// Session marker files, X authority, mount table, waits and descriptor
// readiness.
#include "utils/session.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "logger.h"

namespace Velk::Utils {

namespace fs = std::filesystem;

namespace {

constexpr auto sleepStep = std::chrono::milliseconds(100);

// $HOME/.velk/<name>, or empty when HOME is not set.
fs::path markerPath(std::string_view name) {
    const char* home = getenv("HOME");
    if (!home) {
        return {};
    }
    return fs::path(home) / ".velk" / fs::path(name);
}

bool timePassed(std::chrono::steady_clock::time_point start, std::chrono::nanoseconds limit) {
    return std::chrono::steady_clock::now() - start > limit;
}

// Big-endian 16-bit length; bytes past the end of the file stay 0.
uint16_t readLengthBE(std::istream& stream) {
    unsigned char bytes[2] = {0, 0};
    stream.read(reinterpret_cast<char*>(bytes), sizeof(bytes));
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

}  // namespace

void saveSessionPidFor(std::string_view name) {
    const fs::path path = markerPath(name);
    if (path.empty()) {
        Syslog::error("%s: %s environment not found", "saveSessionPidFor", "HOME");
        return;
    }

    std::ofstream stream(path, std::ios::out | std::ios::trunc);
    if (stream.is_open()) {
        stream << getpid();
    }
}

bool waitSessionPidFor(std::string_view name) {
    const fs::path path = markerPath(name);
    if (path.empty()) {
        Syslog::error("%s: %s environment not found", "waitSessionPidFor", "HOME");
        return false;
    }

    const auto start = std::chrono::steady_clock::now();
    while (true) {
        if (fs::is_regular_file(path)) {
            return true;
        }
        if (timePassed(start, std::chrono::seconds(60))) {
            Syslog::error("%s: timeout exception, path: `%s'", "waitSessionPidFor", path.c_str());
            return false;
        }
        std::this_thread::sleep_for(sleepStep);
    }
}

void removeSessionPidFor(std::string_view name) {
    const fs::path path = markerPath(name);
    if (!path.empty() && fs::is_regular_file(path)) {
        fs::remove(path);
    }
}

std::vector<uint8_t> readXauthfile(std::string_view path) {
    const std::string file(path);
    std::ifstream stream(file, std::ios::in | std::ios::binary);
    if (!stream.is_open()) {
        Syslog::error("%s: read xauthfile failed, path: %s", "readXauthfile", file.c_str());
        return {};
    }

    // family, then address, display number and protocol name, each skipped
    stream.ignore(2);
    for (int field = 0; field < 3; ++field) {
        stream.ignore(readLengthBE(stream));
    }

    std::vector<uint8_t> cookie(readLengthBE(stream), 0);
    if (!cookie.empty()) {
        stream.read(reinterpret_cast<char*>(cookie.data()), static_cast<std::streamsize>(cookie.size()));
    }
    return cookie;
}

int displayNumber() {
    const char* display = getenv("DISPLAY");
    if (!display) {
        return -1;
    }

    const std::string_view text(display);
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == text.size()) {
        return -1;
    }

    try {
        return std::stoi(std::string(text.substr(colon + 1)));
    } catch (const std::exception&) {
        return -1;
    }
}

bool isMountedPoint(std::string_view path) {
    std::ifstream mounts("/proc/mounts");
    if (!mounts.is_open()) {
        return false;
    }

    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream words(line);
        std::string device;
        std::string point;
        if (words >> device >> point && point == path) {
            return true;
        }
    }
    return false;
}

bool waitSocketSec(std::string_view path, uint32_t seconds) {
    const fs::path socketPath(path);
    const auto limit = std::chrono::seconds(seconds);
    const auto start = std::chrono::steady_clock::now();

    while (true) {
        std::error_code error;
        if (fs::is_socket(socketPath, error)) {
            return true;
        }
        if (timePassed(start, limit)) {
            return false;
        }
        std::this_thread::sleep_for(sleepStep);
    }
}

bool hasInput(int fd, int timeoutMs) {
    if (fd < 0) {
        return false;
    }

    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLIN;

    int ready = 0;
    while ((ready = poll(&entry, 1, timeoutMs)) < 0) {
        const int error = errno;
        if (error != EINTR) {
            Syslog::error("%s: %s failed, error: %s, code: %d", "hasInput", "poll", strerror(error), error);
            throw velk_error("hasInput");
        }
    }
    return ready > 0 && (entry.revents & POLLIN);
}

int hasData(int fd) {
    if (fd < 0) {
        return 0;
    }

    int count = 0;
    if (ioctl(fd, FIONREAD, &count) < 0) {
        const int error = errno;
        Syslog::error("%s: %s failed, error: %s, code: %d", "hasData", "ioctl", strerror(error), error);
        throw velk_error("hasData");
    }
    return count < 0 ? 0 : count;
}

std::string getHostname() {
    char name[256] = {};
    if (gethostname(name, sizeof(name)) != 0) {
        const int error = errno;
        Syslog::warning("%s: %s failed, error: %s, code: %d", "getHostname", "gethostname", strerror(error),
                        error);
        return "localhost";
    }
    return std::string(name, strnlen(name, sizeof(name)));
}

}  // namespace Velk::Utils
