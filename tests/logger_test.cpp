// The logger's routing table, journal fields and console format, checked
// against a real systemd-journald and a captured standard error.
#include "logger.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "private_journal.h"
#include "test_support.h"

namespace {

using Velk::DebugLevel;
using Velk::Syslog;
using VelkTest::PrivateJournal;
using VelkTest::StderrCapture;

class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { Syslog::setDebugLevel(saved); }

    static std::string uniqueMarker(const char* what) {
        return std::string(what) + "-" + std::to_string(getpid()) + "-" +
               std::to_string(std::random_device{}());
    }

    // Skips only when the journal cannot be had for want of root.
    static bool journalUsable(const PrivateJournal& journal) {
        if (journal.failure().empty()) {
            return true;
        }
        if (!VelkTest::runningAsRoot()) {
            return false;
        }
        ADD_FAILURE() << "private journal failed: " << journal.failure();
        return false;
    }

    static void logAtEveryLevel(const std::string& prefix) {
        Syslog::error("%s: %s", prefix.c_str(), "error");
        Syslog::warning("%s: %s", prefix.c_str(), "warning");
        Syslog::notice("%s: %s", prefix.c_str(), "notice");
        Syslog::info("%s: %s", prefix.c_str(), "info");
        Syslog::debug("%s: %s", prefix.c_str(), "debug");
    }

    static std::set<std::string> messagesOf(const std::vector<Json::Value>& records) {
        std::set<std::string> messages;
        for (const auto& record : records) {
            messages.insert(record["MESSAGE"].asString());
        }
        return messages;
    }

private:
    DebugLevel saved = static_cast<DebugLevel>(Syslog::debugLevel());
};

TEST_F(LoggerTest, EachLevelSendsEachMessageWhereTheRoutingTableSays) {
    PrivateJournal journal;
    if (!journalUsable(journal)) {
        GTEST_SKIP() << "needs root for a private systemd-journald: " << journal.failure();
    }
    const std::string marker = uniqueMarker("route");
    const std::map<int, std::vector<std::string>> toJournal = {
        {0, {"error", "warning", "notice"}},
        {1, {"error", "warning", "notice", "info", "debug"}},
        {2, {"error", "warning", "notice", "info"}},
        {3, {}},
        {4, {}},
        {5, {"error", "warning", "notice", "info", "debug"}},
    };

    std::set<std::string> expected;
    for (const auto& [level, operations] : toJournal) {
        Syslog::setDebugLevel(static_cast<DebugLevel>(level));
        const std::string prefix = marker + " level " + std::to_string(level);
        StderrCapture capture;
        logAtEveryLevel(prefix);
        const std::string console = capture.finish();

        const size_t consoleLines = std::count(console.begin(), console.end(), '\n');
        EXPECT_EQ(consoleLines, level == 4 ? 5U : 0U) << "level " << level << ": " << console;
        for (const auto& operation : operations) {
            expected.insert(std::string(prefix).append(": ").append(operation));
        }
    }

    const auto records = journal.records(marker, expected.size());
    EXPECT_EQ(messagesOf(records), expected);
    EXPECT_EQ(records.size(), expected.size()) << "a message reached the journal twice";
}

TEST_F(LoggerTest, JournalRecordsCarryPriorityFixedLineAndTheOperationName) {
    PrivateJournal journal;
    if (!journalUsable(journal)) {
        GTEST_SKIP() << "needs root for a private systemd-journald: " << journal.failure();
    }
    const std::string marker = uniqueMarker("fields");
    Syslog::setDebugLevel(DebugLevel::Debug);
    logAtEveryLevel(marker);

    struct Expected {
        const char* priority;
        const char* line;
    };
    const std::map<std::string, Expected> byFunction = {
        {"error", {"3", "124"}}, {"warning", {"4", "107"}}, {"notice", {"5", "90"}},
        {"info", {"6", "69"}},   {"debug", {"7", "53"}},
    };

    const auto records = journal.records(marker, byFunction.size());
    ASSERT_EQ(records.size(), byFunction.size());
    for (const auto& record : records) {
        const std::string function = record["CODE_FUNC"].asString();
        ASSERT_EQ(byFunction.count(function), 1U) << "unexpected CODE_FUNC " << function;
        EXPECT_EQ(record["MESSAGE"].asString(), std::string(marker).append(": ").append(function));
        EXPECT_EQ(record["PRIORITY"].asString(), byFunction.at(function).priority) << function;
        EXPECT_EQ(record["CODE_LINE"].asString(), byFunction.at(function).line) << function;
        const std::string file = record["CODE_FILE"].asString();
        EXPECT_EQ(file.substr(file.size() - std::string("logger.h").size()), "logger.h");
    }
}

TEST_F(LoggerTest, LevelMessageObeysTheLevelInForceBeforeTheChange) {
    PrivateJournal journal;
    if (!journalUsable(journal)) {
        GTEST_SKIP() << "needs root for a private systemd-journald: " << journal.failure();
    }
    const std::string unknown = uniqueMarker("nolevel");
    Syslog::setDebugLevel(DebugLevel::None);
    Syslog::setDebugLevel("trace");
    EXPECT_TRUE(Syslog::isTraceMode());

    Syslog::setDebugLevel(DebugLevel::Info);
    Syslog::setDebugLevel(unknown);
    EXPECT_TRUE(Syslog::isDebugLevel(DebugLevel::Info));
    Syslog::setDebugLevel("trace");

    // Only the change made at level 2 is announced; the unknown name is an error.
    const auto unknownRecords = journal.records(unknown, 2);
    ASSERT_EQ(unknownRecords.size(), 2U);
    const std::set<std::string> expected = {"setDebugLevel: level: " + unknown,
                                            "setDebugLevel: unknown level: " + unknown};
    EXPECT_EQ(messagesOf(unknownRecords), expected);

    const auto traceRecords =
        journal.records("setDebugLevel: level: trace", 1, std::chrono::milliseconds(500));
    EXPECT_EQ(traceRecords.size(), 1U);
}

TEST_F(LoggerTest, ConsoleLineIsBracketedDateAndTimeTabMessageNewline) {
    Syslog::setDebugLevel(DebugLevel::Console);
    StderrCapture capture;
    Syslog::debug("%s: value: `%d'", "consoleTest", 42);
    const std::string line = capture.finish();

    const std::regex format(R"(\[\d{2}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\]\tconsoleTest: value: `42'\n)");
    EXPECT_TRUE(std::regex_match(line, format)) << line;
}

// Where the machine runs a journald, this process moves into a mount
// namespace of its own in which an empty tmpfs hides the journal's socket.
// Empty when no journal listens here any more; else why it could not be hidden.
std::string hideJournal() {
    const char* socketDir = "/run/systemd/journal";
    if (!std::filesystem::exists(std::string(socketDir) + "/socket")) {
        return "";
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", socketDir, "tmpfs", 0, nullptr) != 0) {
        return std::string("cannot hide the journal: ") + std::strerror(errno);
    }
    return "";
}

TEST_F(LoggerTest, WithoutAJournalWhatWouldGoThereGoesToStandardErrorAsConsoleLines) {
    const std::string hidden = hideJournal();
    if (!hidden.empty()) {
        GTEST_SKIP() << hidden;
    }
    Syslog::setDebugLevel(DebugLevel::Info);
    StderrCapture capture;
    logAtEveryLevel("nojournal");
    const std::string console = capture.finish();

    const std::regex format(
        R"(\[[^\]]+\]\tnojournal: error\n\[[^\]]+\]\tnojournal: warning\n\[[^\]]+\]\tnojournal: notice\n)"
        R"(\[[^\]]+\]\tnojournal: info\n)");
    EXPECT_TRUE(std::regex_match(console, format)) << console;
}

TEST_F(LoggerTest, VelkLogLevelWinsOverEveryLevelChosenByName) {
    {
        const VelkTest::EnvironmentGuard pinned("VELK_LOG_LEVEL", "none");
        EXPECT_EQ(Syslog::levelFromEnvironment(), "none");
        Syslog::setDebugLevel("debug");
        EXPECT_TRUE(Syslog::isDebugLevel(DebugLevel::None));
        Syslog::setDebugLevel("nonsense");
        EXPECT_TRUE(Syslog::isDebugLevel(DebugLevel::None));
        // A program's own choice by value (the tests' console) is not an operator's concern.
        Syslog::setDebugLevel(DebugLevel::Console);
        EXPECT_TRUE(Syslog::isDebugLevel(DebugLevel::Console));
    }
    const VelkTest::EnvironmentGuard unknown("VELK_LOG_LEVEL", "loud");
    EXPECT_EQ(Syslog::levelFromEnvironment(), std::nullopt);
    StderrCapture capture;
    Syslog::setDebugLevel("trace");
    const std::string console = capture.finish();
    EXPECT_TRUE(Syslog::isTraceMode());
    EXPECT_NE(console.find("setDebugLevel: unknown level in VELK_LOG_LEVEL: loud\n"), std::string::npos)
        << console;
}

TEST_F(LoggerTest, QuietLevelWritesNothingAnywhere) {
    Syslog::setDebugLevel(DebugLevel::Quiet);
    StderrCapture capture;
    logAtEveryLevel("quiet");
    EXPECT_EQ(capture.finish(), "");
}

// Long lines from four threads and a forked child at once: each must arrive
// whole, its time prefix, its text and its newline together.
TEST_F(LoggerTest, ConsoleLinesOfThreadsAndAChildNeverTear) {
    Syslog::setDebugLevel(DebugLevel::Console);
    const std::string filler(300, 'x');
    constexpr int linesPerWriter = 400;
    auto logLines = [&](const char* who) {
        for (int i = 0; i < linesPerWriter; ++i) {
            Syslog::debug("%s: line %d %s", who, i, filler.c_str());
        }
    };
    StderrCapture capture;
    const pid_t child = fork();
    if (child == 0) {
        logLines("child");
        _exit(0);
    }
    std::vector<std::thread> threads;
    for (const char* who : {"one", "two", "three", "four"}) {
        threads.emplace_back(logLines, who);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int status = 0;
    waitpid(child, &status, 0);
    const std::string console = capture.finish();

    const std::regex whole(R"(\[[^\]]+\]\t(child|one|two|three|four): line \d+ x{300})");
    std::istringstream lines(console);
    size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_TRUE(std::regex_match(line, whole)) << "torn line: " << line;
    }
    EXPECT_EQ(count, 5U * linesPerWriter);
}

TEST_F(LoggerTest, LevelNamesAreCaseSensitiveAndUnknownNamesKeepTheLevel) {
    Syslog::setDebugLevel(DebugLevel::Console);
    StderrCapture capture;
    Syslog::setDebugLevel("DEBUG");
    const std::string console = capture.finish();

    EXPECT_TRUE(Syslog::isDebugLevel(DebugLevel::Console));
    EXPECT_NE(console.find("setDebugLevel: level: DEBUG\n"), std::string::npos) << console;
    EXPECT_NE(console.find("setDebugLevel: unknown level: DEBUG\n"), std::string::npos) << console;

    const std::vector<std::pair<const char*, int>> names = {
        {"debug", 1}, {"trace", 5}, {"info", 2}, {"none", 0}};
    for (const auto& [name, value] : names) {
        Syslog::setDebugLevel(name);
        EXPECT_EQ(Syslog::debugLevel(), value) << name;
    }
}

TEST_F(LoggerTest, LevelQueriesCompareForEquality) {
    Syslog::setDebugLevel(DebugLevel::Trace);
    EXPECT_TRUE(Syslog::isTraceMode());
    EXPECT_TRUE(Syslog::isDebugLevel(DebugLevel::Trace));
    EXPECT_FALSE(Syslog::isDebugLevel(DebugLevel::Debug));

    Syslog::setDebugLevel(DebugLevel::Debug);
    EXPECT_FALSE(Syslog::isTraceMode());
    EXPECT_FALSE(Syslog::isDebugLevel(DebugLevel::Info));
}

TEST(LoggerValues, NotifyLevelPassesOnlyOneAndTwo) {
    EXPECT_EQ(Velk::notifyLevel(1), 1);
    EXPECT_EQ(Velk::notifyLevel(2), 2);
    EXPECT_EQ(Velk::notifyLevel(0), 0);
    EXPECT_EQ(Velk::notifyLevel(3), 0);
    EXPECT_EQ(Velk::notifyLevel(-1), 0);
}

TEST(LoggerValues, ProductVersionBannerNamesTheProgramVersionAndBuild) {
    EXPECT_EQ(Velk::productVersion("PROXY"), "VELK PROXY v.2.2.0 build(202507220750)");
    EXPECT_EQ(Velk::productVersion(""), "VELK  v.2.2.0 build(202507220750)");
}

TEST(LoggerValues, VelkErrorCarriesTheFunctionName) {
    try {
        throw Velk::velk_error("recvRaw");
    } catch (const std::runtime_error& err) {
        EXPECT_STREQ(err.what(), "recvRaw");
    }
}

}  // namespace
