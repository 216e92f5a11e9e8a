// Start and stop of the private Xvfb; see xvfb_server.h.
#include "xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace VelkTest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int displayFdInChild = 3;

std::vector<std::string> serverArguments(const XvfbOptions& options) {
    std::vector<std::string> args = {"/usr/bin/Xvfb", "-displayfd", std::to_string(displayFdInChild),
                                     "-screen",       "0",          options.screen,
                                     "+extension",    "RANDR",      "+extension",
                                     "XFIXES",        "-nolisten",  "tcp",
                                     "-noreset"};
    if (options.authFile) {
        args.emplace_back("-auth");
        args.push_back(options.authFile->string());
    }
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    return args;
}

// In the forked child: output to the log, the pipe's write end as descriptor
// 3 (without close-on-exec), nothing else open.
[[noreturn]] void execServer(std::vector<char*>& argv, const fs::path& logFile, int writeEnd) {
    const int logFd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int nullFd = open("/dev/null", O_RDONLY);
    dup2(nullFd, STDIN_FILENO);
    dup2(logFd, STDOUT_FILENO);
    dup2(logFd, STDERR_FILENO);
    if (writeEnd == displayFdInChild) {
        fcntl(writeEnd, F_SETFD, 0);
    } else {
        dup2(writeEnd, displayFdInChild);
    }
    close_range(displayFdInChild + 1, ~0U, 0);
    execv(argv[0], argv.data());
    _exit(127);
}

// The display number that the server writes once it accepts clients; empty
// when the pipe ends first or nothing comes within the time-out.
std::optional<uint32_t> readDisplayNumber(int readEnd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string text;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{readEnd, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[32];
        const ssize_t got = read(readEnd, buffer, sizeof(buffer));
        if (got <= 0) {
            return std::nullopt;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    return static_cast<uint32_t>(std::stoul(text));
}

}  // namespace

XvfbServer::XvfbServer(const XvfbOptions& options) {
    std::vector<std::string> args = serverArguments(options);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const fs::path logFile = dir / "xvfb.log";

    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("XvfbServer: pipe2 failed");
    }
    serverPid = fork();
    if (serverPid == 0) {
        execServer(argv, logFile, fds[1]);
    }
    close(fds[1]);
    if (serverPid < 0) {
        close(fds[0]);
        throw std::runtime_error("XvfbServer: fork failed");
    }

    const auto number = readDisplayNumber(fds[0], 10s);
    close(fds[0]);
    if (!number) {
        kill();
        throw std::runtime_error("XvfbServer: Xvfb did not start: " + log());
    }
    displayNumber = *number;
}

XvfbServer::~XvfbServer() {
    stop();
}

void XvfbServer::stop() {
    if (serverPid <= 0) {
        return;
    }
    ::kill(serverPid, SIGTERM);
    const bool ended = waitUntil(
        [this] {
            int status = 0;
            return waitpid(serverPid, &status, WNOHANG) == serverPid;
        },
        5s);
    if (ended) {
        serverPid = -1;
    } else {
        reap(SIGKILL);
    }
}

void XvfbServer::kill() {
    if (serverPid > 0) {
        reap(SIGKILL);
    }
}

void XvfbServer::reap(int sig) {
    ::kill(serverPid, sig);
    int status = 0;
    waitpid(serverPid, &status, 0);
    removeLeftovers();
    serverPid = -1;
}

void XvfbServer::removeLeftovers() const {
    // Only the files of this server: its lock file names its pid.
    const fs::path lock = "/tmp/.X" + std::to_string(displayNumber) + "-lock";
    const std::string owner = readFile(lock);
    if (std::strtol(owner.c_str(), nullptr, 10) != serverPid) {
        return;
    }
    std::error_code ec;
    fs::remove("/tmp/.X11-unix/X" + std::to_string(displayNumber), ec);
    fs::remove(lock, ec);
}

std::string XvfbServer::log() const {
    return readFile(dir / "xvfb.log");
}

std::string cookieHex(const std::vector<uint8_t>& cookie) {
    std::string hex;
    for (const uint8_t byte : cookie) {
        char digits[3];
        std::snprintf(digits, sizeof(digits), "%02x", byte);
        hex += digits;
    }
    return hex;
}

void writeCookieFile(const fs::path& file, const std::vector<uint8_t>& cookie,
                     const std::string& displayName) {
    const auto result = runProcess(
        {"/usr/bin/xauth", "-f", file.string(), "add", displayName, "MIT-MAGIC-COOKIE-1", cookieHex(cookie)});
    if (result.exitCode() != 0) {
        throw std::runtime_error("writeCookieFile: xauth failed: " + result.err);
    }
}

}  // namespace VelkTest
