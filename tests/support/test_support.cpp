// Test helpers; see test_support.h.
#include "test_support.h"

#include "logger.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace VelkTest {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "velk-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool waitUntilBlockedIn(pid_t threadId, const std::vector<long>& systemCalls,
                        std::chrono::milliseconds timeout) {
    // The first word is the number of the call the thread is blocked in, or
    // "running".
    const fs::path file = "/proc/self/task/" + std::to_string(threadId) + "/syscall";
    return waitUntil(
        [&] {
            std::istringstream words(readFile(file));
            long number = -1;
            return words >> number &&
                   std::find(systemCalls.begin(), systemCalls.end(), number) != systemCalls.end();
        },
        timeout);
}

int countOpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count - 1;  // the iterator's own descriptor
}

StderrCapture::StderrCapture() {
    static std::atomic<int> counter{0};
    file = fs::temp_directory_path() /
           ("velk-stderr-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
    fflush(stderr);
    savedFd = dup(STDERR_FILENO);
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

StderrCapture::~StderrCapture() {
    finish();
}

std::string StderrCapture::finish() {
    if (finished) {
        return {};
    }
    finished = true;
    fflush(stderr);
    dup2(savedFd, STDERR_FILENO);
    close(savedFd);
    std::string text = readFile(file);
    std::error_code ec;
    fs::remove(file, ec);
    return text;
}

LogCapture::LogCapture() : savedLevel(Velk::Syslog::debugLevel()) {
    Velk::Syslog::setDebugLevel(Velk::DebugLevel::Console);
}

LogCapture::~LogCapture() {
    finish();
}

std::string LogCapture::finish() {
    if (!done) {
        text = capture.finish();
        Velk::Syslog::setDebugLevel(static_cast<Velk::DebugLevel>(savedLevel));
        done = true;
    }
    return text;
}

std::vector<std::string> LogCapture::lines() {
    std::vector<std::string> result;
    std::istringstream in(finish());
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        if (line.rfind('[', 0) == 0 && tab != std::string::npos) {
            result.push_back(line.substr(tab + 1));
        }
    }
    return result;
}

size_t countOccurrences(const std::string& text, const std::string& what) {
    size_t found = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++found;
    }
    return found;
}

EnvironmentGuard::EnvironmentGuard(const char* name, const char* value) : variable(name) {
    if (const char* old = getenv(name)) {
        saved = old;
    }
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

EnvironmentGuard::~EnvironmentGuard() {
    if (saved) {
        setenv(variable.c_str(), saved->c_str(), 1);
    } else {
        unsetenv(variable.c_str());
    }
}

bool ProcessResult::exited() const {
    return WIFEXITED(status);
}

int ProcessResult::exitCode() const {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

std::vector<std::string> childEnvironment(const std::map<std::string, std::string>& env,
                                          const std::vector<std::string>& unsetEnv) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        bool dropped = env.count(name) > 0;
        for (const auto& unset : unsetEnv) {
            dropped = dropped || unset == name;
        }
        if (!dropped) {
            result.push_back(text);
        }
    }
    for (const auto& [name, value] : env) {
        result.push_back(name);
        result.back().append("=").append(value);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env,
                           const std::vector<std::string>& unsetEnv) {
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = childEnvironment(env, unsetEnv);
    auto argp = pointers(args);
    auto envp = pointers(envs);
    const fs::path out = outputDir / "stdout";
    const fs::path err = outputDir / "stderr";

    childPid = fork();
    if (childPid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (childPid == 0) {
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int nullFd = open("/dev/null", O_RDONLY);
        dup2(nullFd, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        close_range(3, ~0U, 0);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (!finalStatus && childPid > 0) {
        kill(childPid, SIGKILL);
        int status = 0;
        waitpid(childPid, &status, 0);
    }
}

bool ChildProcess::running() {
    if (finalStatus) {
        return false;
    }
    int status = 0;
    if (waitpid(childPid, &status, WNOHANG) == childPid) {
        finalStatus = status;
        return false;
    }
    return true;
}

void ChildProcess::signal(int sig) const {
    kill(childPid, sig);
}

std::optional<ProcessResult> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (!waitUntil([this] { return !running(); }, timeout)) {
        return std::nullopt;
    }
    return collect(*finalStatus);
}

std::string ChildProcess::errText() const {
    return readFile(outputDir / "stderr");
}

ProcessResult ChildProcess::collect(int status) const {
    ProcessResult result;
    result.status = status;
    result.out = readFile(outputDir / "stdout");
    result.err = readFile(outputDir / "stderr");
    return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         const std::vector<std::string>& unsetEnv) {
    ChildProcess child(argv, env, unsetEnv);
    auto result = child.wait(std::chrono::seconds(30));
    if (!result) {
        throw std::runtime_error("process did not end: " + argv.front());
    }
    return *result;
}

namespace {

void runOrThrow(const std::vector<std::string>& argv) {
    const auto result = runProcess(argv);
    if (result.exitCode() != 0) {
        throw std::runtime_error(argv.front() + " failed: " + result.err);
    }
}

}  // namespace

TestUser::TestUser(bool withHome) {
    static std::atomic<int> counter{0};
    const std::string suffix = std::to_string(getpid()) + "x" + std::to_string(++counter);
    userName = "velkt" + suffix;
    extraGroup = "velkg" + suffix;
    runOrThrow({"/usr/sbin/groupadd", extraGroup});
    if (withHome) {
        runOrThrow({"/usr/sbin/useradd", "-m", "-s", "/bin/sh", "-G", extraGroup, userName});
    } else {
        runOrThrow({"/usr/sbin/useradd", "-M", "-d", "/nonexistent/" + userName, "-s", "/bin/sh", "-G",
                    extraGroup, userName});
    }
}

TestUser::~TestUser() {
    // Cleaning up must not end the test program, whatever fails.
    try {
        runProcess({"/usr/sbin/userdel", "-r", "-f", userName});
        runProcess({"/usr/sbin/groupdel", extraGroup});
        std::error_code ec;
        fs::remove_all(fs::path("/tmp") / (".velk_" + userName), ec);
    } catch (const std::exception&) {
    }
}

std::string TestUser::home() const {
    const passwd* entry = getpwnam(userName.c_str());
    return entry ? entry->pw_dir : "";
}

uid_t TestUser::uid() const {
    const passwd* entry = getpwnam(userName.c_str());
    return entry ? entry->pw_uid : static_cast<uid_t>(-1);
}

gid_t TestUser::gid() const {
    const passwd* entry = getpwnam(userName.c_str());
    return entry ? entry->pw_gid : static_cast<gid_t>(-1);
}

gid_t TestUser::extraGid() const {
    const struct group* entry = getgrnam(extraGroup.c_str());
    return entry ? entry->gr_gid : static_cast<gid_t>(-1);
}

bool runningAsRoot() {
    return geteuid() == 0;
}

namespace {

// The parent named in /proc/PID/stat (field 4, after the command in
// parentheses); -1 when the process is gone.
pid_t parentOf(const fs::path& procEntry) {
    const std::string stat = readFile(procEntry / "stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(end + 2));
    char state = 0;
    pid_t parent = -1;
    fields >> state >> parent;
    return parent;
}

}  // namespace

// Read from every process's parent field rather than the threads' children
// lists: a child started by a thread that has just ended moves to another
// thread's list and could be missed between two reads.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename();
        if (name.find_first_not_of("0123456789") == std::string::npos && parentOf(it->path()) == pid) {
            children.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return children;
}

long contextSwitches(pid_t pid) {
    long total = 0;
    std::error_code ec;
    for (auto task = fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
         !ec && task != fs::directory_iterator(); task.increment(ec)) {
        std::istringstream status(readFile(task->path() / "status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

std::pair<sockaddr_storage, socklen_t> tcpAddress(int family, const char* address, uint16_t port) {
    sockaddr_storage target{};
    if (family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(target);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        inet_pton(AF_INET6, address, &v6.sin6_addr);
        return {target, sizeof(v6)};
    }
    auto& v4 = reinterpret_cast<sockaddr_in&>(target);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    inet_pton(AF_INET, address, &v4.sin_addr);
    return {target, sizeof(v4)};
}

int connectTcp(int family, const char* address, uint16_t port) {
    const auto [target, length] = tcpAddress(family, address, port);
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&target), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace VelkTest
