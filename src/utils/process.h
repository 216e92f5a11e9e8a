// The one way the system starts a program: checked path, a child (sharing the
// parent's memory until its exec, forked when it drops to an owner or is
// labelled), clean descriptors, a log file for the output, the parent's
// environment overlaid with the caller's variables, execve.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <future>
#include <list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "utils/held_process.h"
#include "utils/users.h"

namespace Velk::Utils {

// Platform integrity labelling of started children.  The runtime library does
// none by itself; a program that runs on an integrity-controlled platform
// installs one (the kiosk does), the others leave it out.
class ChildLabeler {
public:
    virtual ~ChildLabeler() = default;
    // In the parent, before the fork, only for a child with an owner: the
    // owner's integrity level when the platform has a record of it.
    virtual std::optional<uint32_t> ownerLevel(uint32_t uid) const = 0;
    // In the child, right after the fork, before anything else runs.
    virtual void labelCurrentProcess(std::optional<uint32_t> ownerLevel) const = 0;
};

// Not owned; must outlive every later child start.  Null removes it.
void setChildLabeler(const ChildLabeler* labeler);

// Given as the log file: the child keeps the parent's standard output and
// error (an empty path names no file).  A null log file means the owner's log
// file, or /dev/null without an owner.
inline constexpr const char* inheritOutputs = "";

// Starts the program (never searched in PATH) and returns its pid; the caller
// reaps it.  Throws velk_error("runChildProcess") for a missing program or a
// failed fork or clone.  An owner without an account starts the child unchanged.
pid_t runChildProcess(const std::filesystem::path& cmd, const std::list<std::string>& args,
                      const std::list<std::string>& envs, const char* user = nullptr,
                      const char* logfile = nullptr);

// Starts and reaps the child; false only when the start failed.
bool runChildProcessWait(const std::filesystem::path& cmd, const std::list<std::string>& args,
                         const std::list<std::string>& envs, const char* user = nullptr,
                         const char* logfile = nullptr);

// Starts the child and reaps it on a thread of its own; the future yields the
// raw wait status, or -1 when the wait itself failed.  Destroying the future
// waits for the child.
std::pair<pid_t, std::future<int>> runChildProcessBack(const std::filesystem::path& cmd,
                                                       const std::list<std::string>& args,
                                                       const std::list<std::string>& envs,
                                                       const char* user = nullptr,
                                                       const char* logfile = nullptr);

// Starts the child and holds it by its pidfd: the caller signals and reaps
// it through the holder, never by its pid. Throws as runChildProcess does,
// and velk_error("runChildProcessHeld") when no pidfd can be had (the child
// is then killed and reaped).
HeldProcess runChildProcessHeld(const std::filesystem::path& cmd, const std::list<std::string>& args,
                                const std::list<std::string>& envs, const char* user = nullptr,
                                const char* logfile = nullptr);

// Runs in the forked child: switch user, pick the output file, close
// descriptors, execve.  Ends in "/bin/false" when the switch or exec fails.
[[noreturn]] void runOwnerCommand(const std::filesystem::path& cmd, const std::list<std::string>& args,
                                  const std::list<std::string>& envs, const UserInfo* owner,
                                  const char* logfile);

// Everything the program writes to standard output, one trailing newline cut.
// The command line goes through the shell unquoted.
std::string runStdoutCommand(const std::filesystem::path& cmd, const std::list<std::string>& args);

// Pointers into the given strings, ending with a null pointer; valid while the
// strings live.
std::vector<const char*> createARGV(const char* arg0, const std::list<std::string>& args);
// The inherited environment without the variables the session list overrides
// (compared over the inherited name's length), then the session list.
std::vector<const char*> createENVP(const std::list<std::string>& envs);

void syslogWaitStatus(int status, const char* func, pid_t pid);

bool processRunning(pid_t pid);

// Standard output and error to the file (0640, truncated), or to /dev/null when
// it cannot be opened.
void redirectOutputsFdTo(const char* path);

}  // namespace Velk::Utils
