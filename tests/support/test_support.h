// Helpers shared by the test programs: temporary directories, processes run
// and reaped by pid, captured standard error, descriptor counts, test users
// made with the system's own tools.
#pragma once

#include <sys/socket.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "utils/unique_fd.h"

namespace VelkTest {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return dir; }
    std::filesystem::path operator/(const std::string& name) const { return dir / name; }

private:
    std::filesystem::path dir;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);

// Polls the condition every 10 ms until it holds or the time is up.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Waits until the thread of this process (a gettid() value) is blocked in
// one of the system calls named: how a test knows that another thread
// already waits, without a sleep.
bool waitUntilBlockedIn(pid_t threadId, const std::vector<long>& systemCalls,
                        std::chrono::milliseconds timeout);

int countOpenDescriptors();

// The live processes whose parent is pid, read from /proc.
std::vector<pid_t> childrenOf(pid_t pid);

// The context switches of every thread of the process so far, voluntary or
// not: how often it was woken.
long contextSwitches(pid_t pid);

// Captures everything written to descriptor 2 while it lives.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Restores standard error and returns what was written.
    std::string finish();

private:
    int savedFd = -1;
    std::filesystem::path file;
    bool finished = false;
};

// Sets the logger to standard error (level 4) and captures what it writes
// while it lives; the level it found comes back at the end.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Ends the capture (once) and returns everything written.
    std::string finish();
    // The logger's messages without their time stamps; lines that others
    // wrote to standard error (libxcb does) are left out.
    std::vector<std::string> lines();

private:
    int savedLevel;
    StderrCapture capture;
    std::string text;
    bool done = false;
};

// How often `what` occurs in `text`, overlapping occurrences included.
size_t countOccurrences(const std::string& text, const std::string& what);

// Sets (or, with a null value, removes) an environment variable for a scope.
class EnvironmentGuard {
public:
    EnvironmentGuard(const char* name, const char* value);
    EnvironmentGuard(const char* name, const std::string& value) : EnvironmentGuard(name, value.c_str()) {}
    ~EnvironmentGuard();
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

private:
    std::string variable;
    std::optional<std::string> saved;
};

// Closes the descriptor at the end of the scope: the programs' own owner.
using Fd = Velk::Utils::UniqueFd;

struct ProcessResult {
    int status = -1;  // raw wait status
    std::string out;
    std::string err;

    bool exited() const;
    int exitCode() const;
};

// A program started with its output collected in files; ended by its pid.
class ChildProcess {
public:
    // env entries replace or add variables; unsetEnv names are removed.
    ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                 const std::vector<std::string>& unsetEnv = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return childPid; }
    bool running();
    void signal(int sig) const;
    // Waits up to the time-out; nullopt when it is still running.
    std::optional<ProcessResult> wait(std::chrono::milliseconds timeout);
    // Current contents of standard error while the process runs.
    std::string errText() const;

private:
    ProcessResult collect(int status) const;

    TempDir outputDir;
    pid_t childPid = -1;
    std::optional<int> finalStatus;
};

// Runs a program to its end (at most 30 s).
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         const std::vector<std::string>& unsetEnv = {});

// A system account created with useradd for the test and removed with userdel.
class TestUser {
public:
    // withHome false gives an account whose home directory does not exist.
    explicit TestUser(bool withHome = true);
    ~TestUser();
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    const std::string& name() const { return userName; }
    const std::string& group() const { return extraGroup; }
    std::string home() const;
    uid_t uid() const;
    gid_t gid() const;
    gid_t extraGid() const;

private:
    std::string userName;
    std::string extraGroup;
};

bool runningAsRoot();

// The socket address of an IPv4 or IPv6 literal (family AF_INET or
// AF_INET6) and a port, and its length.
std::pair<sockaddr_storage, socklen_t> tcpAddress(int family, const char* address, uint16_t port);

// A TCP client of family AF_INET or AF_INET6 connected to the literal
// address; -1 when the connection was refused.
int connectTcp(int family, const char* address, uint16_t port);

}  // namespace VelkTest
