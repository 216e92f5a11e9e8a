// velk_proxy as a process reloading its configuration: a change within the
// first check is only recorded, a later change is loaded, and a broken file
// keeps the configuration in force with one error line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "private_journal.h"
#include "proxy_harness.h"

namespace {

using namespace VelkTest;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The watcher looks every 3 s; a check and a little more.
constexpr auto checkInterval = milliseconds(3500);

class ProxyConfigReload : public ::testing::Test {
protected:
    // Stamps the file with a modification time no check has seen yet.
    void stampNewTime() {
        ++stamp;
        const timespec times[2] = {{stamp, 0}, {stamp, 0}};
        utimensat(AT_FDCWD, harness.configPath().c_str(), times, 0);
    }

    // The time-out the proxy reports for a new allowance.
    std::string reportedTimeout(size_t allowance) {
        harness.manager.emit("signalProxyAllowConnection", {"7", "1"});
        const auto lines = journal.messages("signalProxyAllowConnection: session id: 7", allowance,
                                            seconds(5), harness.proxy->pid());
        return lines.size() < allowance ? ""
                                        : lines[allowance - 1].substr(lines[allowance - 1].rfind(' ') + 1);
    }

    // First: it has to exist before any thread does.
    PrivateJournal journal;
    ProxyHarness harness;
    time_t stamp = time(nullptr) + 100;
};

TEST_F(ProxyConfigReload, TheFirstCheckOnlyRecordsALaterChangeLoadsABrokenFileIsKeptOut) {
    if (!journal.failure().empty()) {
        GTEST_SKIP() << journal.failure();
    }
    harness.config["listen:timeout"] = 20;
    harness.start();
    const pid_t pid = harness.proxy->pid();

    harness.config["listen:timeout"] = 30;
    harness.writeConfig();
    stampNewTime();
    // Nothing to wait for: the first check leaves no trace.
    std::this_thread::sleep_for(checkInterval);
    EXPECT_EQ(reportedTimeout(1), "20") << "a change before the first check was loaded";

    harness.config["listen:timeout"] = 40;
    harness.writeConfig();
    stampNewTime();
    EXPECT_EQ(journal.messages("reloadConfigWatcher: success", 1, seconds(5), pid).size(), 1U);
    EXPECT_EQ(reportedTimeout(2), "40");

    writeFile(harness.configPath(), R"({"listen:timeout": 50,)");
    stampNewTime();
    const std::string broken = "reloadConfigWatcher: json not object, file: " + harness.configPath().string();
    EXPECT_EQ(journal.messages(broken, 1, seconds(5), pid).size(), 1U);
    std::this_thread::sleep_for(checkInterval);
    EXPECT_EQ(journal.messages(broken, 1, seconds(0), pid).size(), 1U) << "reported once only";
    EXPECT_EQ(reportedTimeout(3), "40");
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
