// A systemd-journald of the test's own: the test process moves into a private
// mount namespace, covers the journal's sockets and storage with empty tmpfs
// mounts and starts journald there, so nothing reaches the machine's journal.
// Needs root and a single-threaded process (call it before starting threads).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include <json/json.h>

namespace VelkTest {

class PrivateJournal {
public:
    PrivateJournal();
    ~PrivateJournal();
    PrivateJournal(const PrivateJournal&) = delete;
    PrivateJournal& operator=(const PrivateJournal&) = delete;

    // Empty when it runs; else why it could not be started.
    const std::string& failure() const { return reason; }

    // Every record of the process (this one by default) whose MESSAGE contains
    // the marker, read with `journalctl -o json`; waits up to the time-out for
    // at least `expected`.
    std::vector<Json::Value> records(const std::string& marker, size_t expected,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                     pid_t pid = 0) const;
    // The MESSAGE texts of those records, in journal order.
    std::vector<std::string> messages(const std::string& marker, size_t expected,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                      pid_t pid = 0) const;

private:
    bool isolate();
    bool startJournald();

    pid_t journaldPid = -1;
    std::string reason;
};

}  // namespace VelkTest
