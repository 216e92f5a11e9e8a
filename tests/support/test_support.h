// Helpers shared by the test programs: temporary directories, processes run
// and reaped by pid, captured standard error, descriptor counts, test users
// made with the system's own tools.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

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

int countOpenDescriptors();

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

}  // namespace VelkTest
