// See private_journal.h.
#include "private_journal.h"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "test_support.h"

namespace VelkTest {

namespace {

const char* const journalDirs[] = {"/run/systemd/journal", "/run/log/journal", "/var/log/journal"};

std::string describe(const char* call) {
    return std::string(call) + ": " + strerror(errno);
}

}  // namespace

PrivateJournal::PrivateJournal() {
    if (!runningAsRoot()) {
        reason = "a private systemd-journald needs root";
        return;
    }
    if (isolate()) {
        startJournald();
    }
}

PrivateJournal::~PrivateJournal() {
    if (journaldPid > 0) {
        kill(journaldPid, SIGTERM);
        int status = 0;
        waitpid(journaldPid, &status, 0);
    }
}

bool PrivateJournal::isolate() {
    if (unshare(CLONE_NEWNS) != 0) {
        reason = describe("unshare");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        reason = describe("mount private");
        return false;
    }
    for (const char* dir : journalDirs) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0) {
            reason = describe("mount tmpfs");
            return false;
        }
    }
    return true;
}

bool PrivateJournal::startJournald() {
    const char* journald = "/lib/systemd/systemd-journald";
    if (access(journald, X_OK) != 0) {
        reason = "systemd-journald is not installed";
        return false;
    }
    journaldPid = fork();
    if (journaldPid == 0) {
        // A test killed before its teardown must not leave the journal behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close_range(3, ~0U, 0);
        execl(journald, journald, static_cast<char*>(nullptr));
        _exit(127);
    }
    const bool ready =
        waitUntil([] { return access("/run/systemd/journal/socket", F_OK) == 0; }, std::chrono::seconds(10));
    if (!ready) {
        reason = "systemd-journald did not create its socket";
    }
    return ready;
}

std::vector<Json::Value> PrivateJournal::records(const std::string& marker, size_t expected,
                                                 std::chrono::milliseconds timeout, pid_t pid) const {
    std::vector<Json::Value> found;
    const std::string source = std::to_string(pid > 0 ? pid : getpid());
    waitUntil(
        [&] {
            found.clear();
            const auto result =
                runProcess({"/usr/bin/journalctl", "-o", "json", "--no-pager", "_PID=" + source});
            std::istringstream lines(result.out);
            std::string line;
            Json::CharReaderBuilder builder;
            while (std::getline(lines, line)) {
                Json::Value record;
                std::istringstream in(line);
                std::string errors;
                if (Json::parseFromStream(builder, in, &record, &errors) &&
                    record["MESSAGE"].asString().find(marker) != std::string::npos) {
                    found.push_back(record);
                }
            }
            return found.size() >= expected;
        },
        timeout);
    return found;
}

}  // namespace VelkTest

namespace VelkTest {

std::vector<std::string> PrivateJournal::messages(const std::string& marker, size_t expected,
                                                  std::chrono::milliseconds timeout, pid_t pid) const {
    std::vector<std::string> texts;
    for (const auto& record : records(marker, expected, timeout, pid)) {
        texts.push_back(record["MESSAGE"].asString());
    }
    return texts;
}

}  // namespace VelkTest
