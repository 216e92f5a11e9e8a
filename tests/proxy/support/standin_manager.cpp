// Drives the stand-in session manager; see standin_manager.h.
#include "standin_manager.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace VelkTest {

namespace {

using namespace std::chrono_literals;

void writeControlLine(const std::filesystem::path& fifo, const std::string& line) {
    // The manager holds the FIFO open for reading, so this open never blocks.
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot open the control FIFO: " + std::string(std::strerror(errno)));
    }
    const std::string text = line + "\n";
    const ssize_t written = write(fd, text.data(), text.size());
    close(fd);
    if (written != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot write the control line: " + line);
    }
}

}  // namespace

StandinManager::StandinManager(const PrivateBus& bus, const std::string& testReply)
    : process({VELK_STANDIN_MANAGER_BINARY, "--session-info", (dir / "session-info.json").string(),
               "--test-reply", testReply, "--notices", (dir / "notices").string(), "--control",
               (dir / "control").string(), "--ready", (dir / "ready").string()},
              {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}}) {
    const bool ready =
        waitUntil([&] { return std::filesystem::exists(dir / "ready") || !process.running(); }, 10s);
    if (!ready || !process.running()) {
        throw std::runtime_error("the stand-in manager did not start: " + process.errText());
    }
}

StandinManager::~StandinManager() {
    if (process.running()) {
        stop();
    }
}

std::optional<ProcessResult> StandinManager::stop() {
    process.signal(SIGTERM);
    return process.wait(10s);
}

void StandinManager::setSessionInfo(const std::string& json) {
    // Renamed into place: the manager reads the file at any moment.
    const auto aside = dir / "session-info.part";
    writeFile(aside, json);
    std::filesystem::rename(aside, dir / "session-info.json");
}

void StandinManager::setSessionInfo(uint32_t sessionId, const std::string& json) {
    command("session " + std::to_string(sessionId) + " " + json);
}

void StandinManager::emit(const std::string& signal, const std::vector<std::string>& arguments) {
    std::string line = signal;
    for (const auto& argument : arguments) {
        line += " " + argument;
    }
    command(line);
}

void StandinManager::failMethod(const std::string& method) {
    command("fail " + method);
}

void StandinManager::hangMethod(const std::string& method) {
    command("hang " + method);
}

void StandinManager::succeedMethod(const std::string& method) {
    command("succeed " + method);
}

std::vector<std::string> StandinManager::notices() const {
    std::istringstream text(readFile(dir / "notices"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::optional<std::string> StandinManager::waitForNotice(const std::string& prefix,
                                                         std::chrono::milliseconds timeout) const {
    std::optional<std::string> found;
    waitUntil(
        [&] {
            const auto lines = notices();
            const auto match = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.compare(0, prefix.size(), prefix) == 0;
            });
            if (match != lines.end()) {
                found = *match;
            }
            return found.has_value();
        },
        timeout);
    return found;
}

size_t StandinManager::countNotices(const std::string& line) const {
    const auto lines = notices();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

void StandinManager::command(const std::string& line) {
    // The same command may have run before: its answer is one more line.
    const std::string done = "control " + line;
    const std::string rejected = "control-rejected " + line;
    const size_t doneBefore = countNotices(done);
    const size_t rejectedBefore = countNotices(rejected);
    writeControlLine(dir / "control", line);
    const bool answered = waitUntil(
        [&] { return countNotices(done) > doneBefore || countNotices(rejected) > rejectedBefore; }, 10s);
    if (!answered) {
        throw std::runtime_error("the stand-in manager did not run: " + line);
    }
    if (countNotices(rejected) > rejectedBefore) {
        throw std::runtime_error("the stand-in manager rejected: " + line);
    }
}

}  // namespace VelkTest
