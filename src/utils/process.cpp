// Child process start, wait and output capture.
#include "utils/process.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logger.h"

namespace Velk::Utils {

namespace fs = std::filesystem;

namespace {

std::atomic<const ChildLabeler*> childLabeler{nullptr};

bool pathExists(const fs::path& path) {
    std::error_code ec;
    const auto type = fs::status(path, ec).type();
    return type != fs::file_type::not_found && type != fs::file_type::none;
}

// Never returns into the caller's memory: no exit handler runs, no buffer is
// flushed twice.
[[noreturn]] void replaceByFalse() {
    const std::array<const char*, 2> argv = {"/bin/false", nullptr};
    execve(argv[0], const_cast<char* const*>(argv.data()), environ);
    _exit(0);
}

std::string joinSessionVariables(const std::list<std::string>& envs) {
    std::string joined;
    for (const auto& env : envs) {
        if (!joined.empty()) {
            joined.append(", ");
        }
        joined.append(env);
    }
    return joined;
}

// A directory under /tmp may have been planted by another user; only one that
// this process owns (and that is not a link) is trusted with the owner's logs.
bool isOwnDirectory(const fs::path& dir) {
    struct stat st {};
    return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

fs::path ownerLogDirectory(const UserInfo& owner) {
    std::error_code ec;
    if (fs::is_directory(owner.home, ec)) {
        return fs::path(owner.home) / ".velk";
    }
    return fs::path("/tmp") / (".velk_" + owner.user);
}

std::string ownerLogFile(const fs::path& cmd, const UserInfo& owner) {
    const fs::path dir = ownerLogDirectory(owner);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        fs::create_directory(dir, ec);
        fs::permissions(dir, fs::perms::group_all | fs::perms::others_all, fs::perm_options::remove, ec);
    }
    if (dir.parent_path() == "/tmp" && !isOwnDirectory(dir)) {
        return "/dev/null";
    }
    return (dir / cmd.filename().replace_extension(".log")).string();
}

// The output file, or nothing for the parent's own outputs; with an owner it
// is created after the switch, so that its directory belongs to the owner.
std::optional<std::string> chooseOutput(const fs::path& cmd, const UserInfo* owner, const char* logfile) {
    if (logfile && *logfile == '\0') {
        return std::nullopt;
    }
    if (logfile) {
        return std::string(logfile);
    }
    return owner ? ownerLogFile(cmd, *owner) : std::string("/dev/null");
}

void logChildCommand(const fs::path& cmd, const UserInfo* owner, pid_t pid) {
    Syslog::debug("%s: cmd: `%s', owner: `%s', pid: %d, process uid: %d", "runOwnerCommand", cmd.c_str(),
                  owner ? owner->user.c_str() : "(null)", pid, static_cast<int>(getuid()));
}

void logSessionVariables(const std::list<std::string>& envs) {
    Syslog::debug("%s: add session envs: [ %s ]", "runOwnerCommand", joinSessionVariables(envs).c_str());
}

void closeInheritedDescriptors() {
    const long limit = sysconf(_SC_OPEN_MAX);
    if (limit <= 3) {
        return;
    }
    // One call instead of one per number: services often get limits of 2^19 and more.
    if (close_range(3, static_cast<unsigned int>(limit - 1), 0) == 0) {
        return;
    }
    for (long fd = 3; fd < limit; ++fd) {
        close(static_cast<int>(fd));
    }
}

// A signal sent to a child right after the fork would otherwise meet the
// parent's handlers and be lost (a SIGTERM to a just started transport, say):
// the parent forks with every signal blocked, and the child unblocks them only
// once its own dispositions are in place.
class SignalsBlockedForFork {
public:
    SignalsBlockedForFork() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
    }
    ~SignalsBlockedForFork() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    SignalsBlockedForFork(const SignalsBlockedForFork&) = delete;
    SignalsBlockedForFork& operator=(const SignalsBlockedForFork&) = delete;

private:
    sigset_t previous{};
};

bool hasHandler(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 ||
           (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
}

// Every handler back to the default first: a child that shares the parent's
// memory would act on the parent's state in one of them.
void resetSignalsForChild() {
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) == 0 && hasHandler(current)) {
            signal(sig, SIG_DFL);
        }
    }
    signal(SIGTERM, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    signal(SIGINT, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// waitpid that survives signal interruptions; -1 with errno set on failure.
pid_t waitForChild(pid_t pid, int* status) {
    pid_t result = -1;
    do {
        result = waitpid(pid, status, 0);
    } while (result < 0 && errno == EINTR);
    return result;
}

int asyncWaitPid(pid_t pid) {
    Syslog::debug("%s: added task, pid: %d", "asyncWaitPid", pid);
    int status = -1;
    if (waitForChild(pid, &status) < 0) {
        if (errno != ECHILD) {
            Syslog::error("%s: %s failed, error: %s, code: %d", "asyncWaitPid", "waitpid", strerror(errno),
                          errno);
        }
        return -1;
    }
    return status;
}

// What the child of a start without owner or labeler runs on. The child
// lives in the parent's memory until its execve, so the parent prepares all
// of it: the child makes system calls only, never allocates, locks or logs.
struct SharedStart {
    const char* path;
    const char* const* argv;
    const char* const* envp;
    const char* output;  // null keeps the parent's outputs
    int execError;       // the child's execve failed with it
};

constexpr size_t sharedChildStack = size_t{64} << 10;

#if defined(__SANITIZE_THREAD__)
constexpr bool underThreadSanitizer = true;
#else
constexpr bool underThreadSanitizer = false;
#endif

int runSharedChild(void* data) {
    auto* start = static_cast<SharedStart*>(data);
    resetSignalsForChild();
    closeInheritedDescriptors();
    if (start->output) {
        redirectOutputsFdTo(start->output);
    }
    execve(start->path, const_cast<char* const*>(start->argv), const_cast<char* const*>(start->envp));
    start->execError = errno;
    replaceByFalse();
}

// A fork copies the page tables of the whole process, milliseconds for a
// large one; this child borrows them, and the calling thread waits until the
// child has executed its program (or /bin/false).
pid_t startSharingMemory(const fs::path& cmd, const std::list<std::string>& args,
                         const std::list<std::string>& envs, const char* logfile) {
    const std::optional<std::string> output = chooseOutput(cmd, nullptr, logfile);
    const auto argv = createARGV(cmd.c_str(), args);
    const auto envp = createENVP(envs);
    SharedStart start{cmd.c_str(), argv.data(), envp.data(), output ? output->c_str() : nullptr, 0};
    std::vector<char> stack(sharedChildStack);
    pid_t pid = -1;
    {
        const SignalsBlockedForFork blocked;
        pid = clone(runSharedChild, stack.data() + stack.size(), CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
    }
    if (pid < 0) {
        Syslog::error("%s: %s failed, error: %s, code: %d", "runChildProcess", "clone", strerror(errno),
                      errno);
        throw velk_error("runChildProcess");
    }
    logChildCommand(cmd, nullptr, pid);
    logSessionVariables(envs);
    if (start.execError != 0) {
        Syslog::error("%s: %s failed, error: %s, code: %d", "runOwnerCommand", "execv",
                      strerror(start.execError), start.execError);
    }
    return pid;
}

std::string commandLine(const fs::path& cmd, const std::list<std::string>& args) {
    std::string line = cmd.string();
    for (const auto& arg : args) {
        line.append(" ").append(arg);
    }
    return line;
}

}  // namespace

void setChildLabeler(const ChildLabeler* labeler) {
    childLabeler.store(labeler);
}

pid_t runChildProcess(const fs::path& cmd, const std::list<std::string>& args,
                      const std::list<std::string>& envs, const char* user, const char* logfile) {
    if (!pathExists(cmd)) {
        Syslog::error("%s: program not found: %s", "runChildProcess", cmd.c_str());
        throw velk_error("runChildProcess");
    }

    std::unique_ptr<UserInfo> owner = user ? getUserInfo(user, true) : nullptr;
    const ChildLabeler* labeler = childLabeler.load();
    // The owner's switch and the labeler's hook run library code in the
    // child, which only a child with memory of its own may do.  Neither may a
    // ThreadSanitizer build: its runtime does not know a child that shares
    // the parent's memory and stack of threads.
    if (!owner && !labeler && !underThreadSanitizer) {
        return startSharingMemory(cmd, args, envs, logfile);
    }
    const std::optional<uint32_t> ownerLevel =
        labeler && owner ? labeler->ownerLevel(owner->uid) : std::nullopt;

    const SignalsBlockedForFork blocked;
    const pid_t pid = fork();
    if (pid < 0) {
        Syslog::error("%s: %s failed, error: %s, code: %d", "runChildProcess", "fork", strerror(errno),
                      errno);
        throw velk_error("runChildProcess");
    }
    if (pid > 0) {
        return pid;
    }

    // The child never returns, so the block stays until runOwnerCommand lifts it.
    Syslog::syslogChildOpen();
    if (labeler) {
        labeler->labelCurrentProcess(ownerLevel);
    }
    runOwnerCommand(cmd, args, envs, owner.get(), logfile);
}

void runOwnerCommand(const fs::path& cmd, const std::list<std::string>& args,
                     const std::list<std::string>& envs, const UserInfo* owner, const char* logfile) {
    logChildCommand(cmd, owner, getpid());

    resetSignalsForChild();

    if (getuid() == 0 && owner) {
        if (!switchToUser(*owner)) {
            replaceByFalse();
        }
        Syslog::debug("%s: switched user: %s, current uid: %d, gid: %d", "runOwnerCommand",
                      owner->user.c_str(), static_cast<int>(getuid()), static_cast<int>(getgid()));
    }

    const std::optional<std::string> output = chooseOutput(cmd, owner, logfile);
    logSessionVariables(envs);

    closeInheritedDescriptors();
    if (output) {
        redirectOutputsFdTo(output->c_str());
    }

    const auto argv = createARGV(cmd.c_str(), args);
    const auto envp = createENVP(envs);
    execve(cmd.c_str(), const_cast<char* const*>(argv.data()), const_cast<char* const*>(envp.data()));

    Syslog::error("%s: %s failed, error: %s, code: %d", "runOwnerCommand", "execv", strerror(errno), errno);
    replaceByFalse();
}

HeldProcess runChildProcessHeld(const fs::path& cmd, const std::list<std::string>& args,
                                const std::list<std::string>& envs, const char* user, const char* logfile) {
    const pid_t pid = runChildProcess(cmd, args, envs, user, logfile);
    // Nobody else reaps it, so the pid is still this child's.
    const int pidfd = openPidfd(pid);
    if (pidfd < 0) {
        kill(pid, SIGKILL);
        int status = 0;
        waitForChild(pid, &status);
        throw velk_error("runChildProcessHeld");
    }
    return HeldProcess(pid, pidfd);
}

bool runChildProcessWait(const fs::path& cmd, const std::list<std::string>& args,
                         const std::list<std::string>& envs, const char* user, const char* logfile) {
    try {
        const pid_t pid = runChildProcess(cmd, args, envs, user, logfile);
        Syslog::debug("%s: child started, pid %d", "runChildProcessWait", pid);
        int status = -1;
        if (waitForChild(pid, &status) < 0) {
            Syslog::error("%s: %s failed, error: %s, code: %d", "runChildProcessWait", "waitpid",
                          strerror(errno), errno);
        } else {
            syslogWaitStatus(status, "runChildProcessWait", pid);
        }
        return true;
    } catch (const std::system_error& err) {
        Syslog::error("%s: system error: %s", "runChildProcessWait", err.what());
    } catch (const std::exception& err) {
        Syslog::error("%s: exception: %s", "runChildProcessWait", err.what());
    }
    return false;
}

std::pair<pid_t, std::future<int>> runChildProcessBack(const fs::path& cmd,
                                                       const std::list<std::string>& args,
                                                       const std::list<std::string>& envs, const char* user,
                                                       const char* logfile) {
    const pid_t pid = runChildProcess(cmd, args, envs, user, logfile);
    return {pid, std::async(std::launch::async, asyncWaitPid, pid)};
}

std::string runStdoutCommand(const fs::path& cmd, const std::list<std::string>& args) {
    if (!pathExists(cmd)) {
        Syslog::error("%s: program not found: %s", "runStdoutCommand", cmd.c_str());
        throw velk_error("runStdoutCommand");
    }

    const std::string line = commandLine(cmd, args);
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe) {
        Syslog::error("%s: %s failed, error: %s, code: %d", "runStdoutCommand", "popen", strerror(errno),
                      errno);
        throw velk_error("runStdoutCommand");
    }

    std::string result;
    char buffer[128];
    while (fgets(buffer, sizeof(buffer), pipe)) {
        result.append(buffer);
    }
    if (!result.empty() && result.back() == '\n') {
        result.pop_back();
    }
    pclose(pipe);
    return result;
}

std::vector<const char*> createARGV(const char* arg0, const std::list<std::string>& args) {
    std::vector<const char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(arg0);
    for (const auto& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    return argv;
}

std::vector<const char*> createENVP(const std::list<std::string>& envs) {
    std::vector<const char*> envp;
    envp.reserve(256);

    for (char** entry = environ; entry && *entry; ++entry) {
        const char* equals = strchr(*entry, '=');
        if (!equals) {
            continue;
        }
        const std::string_view name(*entry, static_cast<size_t>(equals - *entry));
        const bool overridden = std::any_of(envs.begin(), envs.end(), [&name](const std::string& env) {
            return env.compare(0, name.size(), name) == 0;
        });
        if (!overridden) {
            envp.push_back(*entry);
        }
    }

    for (const auto& env : envs) {
        envp.push_back(env.c_str());
    }
    envp.push_back(nullptr);
    return envp;
}

void syslogWaitStatus(int status, const char* func, pid_t pid) {
    if (WIFEXITED(status)) {
        Syslog::debug("%s: child ended, pid: %d, exit code: %d", func, pid, WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        Syslog::debug("%s: child ended, pid: %d, killed by signal: %d", func, pid, WTERMSIG(status));
    } else {
        Syslog::debug("%s: child ended, pid: %d, status: %d", func, pid, status);
    }
}

bool processRunning(pid_t pid) {
    return pid > 0 && kill(pid, 0) == 0;
}

void redirectOutputsFdTo(const char* path) {
    // Never through a link planted at the path: the log would land wherever it
    // points, with the child's rights.
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, 0640);
    if (fd < 0) {
        fd = open("/dev/null", O_RDWR);
    }
    if (fd < 0) {
        return;
    }
    dup2(fd, STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    // With 1 or 2 closed beforehand the file may already sit on one of them.
    if (fd > STDERR_FILENO) {
        close(fd);
    }
}

}  // namespace Velk::Utils
