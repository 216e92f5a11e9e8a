// ProxyConnection's configuration in the test process: construction, the
// reload rules of the watcher, the listen time-out, and readers that keep
// reading while the configuration is replaced under them.
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "connection_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;

constexpr time_t someSecond = 1700000000;

class ConnectionConfig : public ConnectionFixture {
protected:
    // Rewrites the file with another time-out and the given modification time.
    void rewrite(int listenTimeout, time_t seconds, long nanoseconds) {
        config["listen:timeout"] = listenTimeout;
        writeConfig(config);
        setConfigTime(seconds, nanoseconds);
    }
};

TEST_F(ConnectionConfig, AFileThatIsNoObjectEndsTheConstruction) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    config = Json::Value(Json::arrayValue);
    config.append(1);
    EXPECT_THROW(
        {
            try {
                makeConnection();
            } catch (const Velk::velk_error& err) {
                EXPECT_STREQ(err.what(), "ProxyConnection");
                throw;
            }
        },
        Velk::velk_error);
    EXPECT_EQ(journal.messages("json not object", 1),
              std::vector<std::string>{"ProxyConnection: json not object, file: " + configFile.string()});
}

TEST_F(ConnectionConfig, AMissingHomeEndsTheConstruction) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    const std::string missing = (home / "gone").string();
    setenv("HOME", missing.c_str(), 1);
    EXPECT_THROW(makeConnection(), Velk::velk_error);
    EXPECT_EQ(journal.messages("home not found", 1),
              std::vector<std::string>{"ProxyConnection: home not found, path: `" + missing +
                                       "', uid: " + std::to_string(getuid())});
}

// Never a shared directory such as /tmp, where other users plant files.
TEST_F(ConnectionConfig, WithoutHomeTheUsersDirectoryIsInTheAccountsHome) {
    const fs::path accountHome = getpwuid(getuid())->pw_dir;
    const bool existed = fs::exists(accountHome / ".velk");
    unsetenv("HOME");
    makeConnection();
    EXPECT_EQ(connection->velkDirectory(), accountHome / ".velk");
    EXPECT_TRUE(fs::is_directory(accountHome / ".velk"));
    if (!existed) {
        fs::remove(accountHome / ".velk");
    }
}

TEST_F(ConnectionConfig, TheUsersDirectoryIsCreatedInTheHome) {
    makeConnection();
    EXPECT_TRUE(fs::is_directory(home / ".velk"));
}

TEST_F(ConnectionConfig, TheFirstCheckOnlyRecordsTheTimeEvenOfAChangedFile) {
    config["listen:timeout"] = 30;
    makeConnection();
    rewrite(40, someSecond, 0);
    EXPECT_FALSE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 30U);

    rewrite(50, someSecond + 1, 0);
    EXPECT_TRUE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 50U);
    EXPECT_FALSE(connection->reloadConfigWatcher()) << "an unchanged file is not read again";
}

TEST_F(ConnectionConfig, ASecondChangeWithinTheSameSecondIsNotSeen) {
    makeConnection();
    setConfigTime(someSecond, 0);
    ASSERT_FALSE(connection->reloadConfigWatcher());
    rewrite(20, someSecond + 1, 100000000);
    ASSERT_TRUE(connection->reloadConfigWatcher());
    rewrite(25, someSecond + 1, 700000000);
    EXPECT_FALSE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 20U);
    rewrite(25, someSecond + 2, 0);
    EXPECT_TRUE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 25U);
}

TEST_F(ConnectionConfig, AReloadSetsTheLogLevelOfTheNewFile) {
    makeConnection();
    EXPECT_EQ(Velk::Syslog::debugLevel(), static_cast<int>(Velk::DebugLevel::Debug));
    setConfigTime(someSecond, 0);
    connection->reloadConfigWatcher();
    config["debug:level"] = "trace";
    writeConfig(config);
    setConfigTime(someSecond + 1, 0);
    ASSERT_TRUE(connection->reloadConfigWatcher());
    EXPECT_EQ(Velk::Syslog::debugLevel(), static_cast<int>(Velk::DebugLevel::Trace));
}

TEST_F(ConnectionConfig, ABrokenFileKeepsTheOldConfigurationAndIsReportedOnce) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    config["listen:timeout"] = 30;
    makeConnection();
    setConfigTime(someSecond, 0);
    connection->reloadConfigWatcher();
    writeFile(configFile, R"({"listen:timeout": 40,)");
    setConfigTime(someSecond + 1, 0);
    EXPECT_FALSE(connection->reloadConfigWatcher());
    EXPECT_FALSE(connection->reloadConfigWatcher());
    EXPECT_FALSE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 30U);
    // The reload's own line: once, however often the watcher looks.
    const std::string line = "reloadConfigWatcher: json not object, file: " + configFile.string();
    EXPECT_EQ(journal.messages(line, 1), std::vector<std::string>{line});

    rewrite(45, someSecond + 2, 0);
    EXPECT_TRUE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 45U);
}

TEST_F(ConnectionConfig, AVanishedFileIsReportedAndTheConfigurationKept) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    config["listen:timeout"] = 30;
    makeConnection();
    fs::remove(configFile);
    EXPECT_FALSE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 30U);
    EXPECT_EQ(journal.messages("reloadConfigWatcher: stat", 1),
              std::vector<std::string>{
                  "reloadConfigWatcher: stat failed, error: No such file or directory, code: 2"});
}

TEST_F(ConnectionConfig, TheLargerListenTimeOutCountsAndANegativeOneIsHuge) {
    config["listen:timeout"] = 30;
    makeConnection();
    connection->signalProxyListenTimeout(60);
    EXPECT_EQ(connection->currentListenTimeout(), 60U);
    connection->signalProxyListenTimeout(5);
    EXPECT_EQ(connection->currentListenTimeout(), 30U);

    connection.reset();
    config["listen:timeout"] = -1;
    makeConnection();
    EXPECT_EQ(connection->currentListenTimeout(), 4294967295U);
}

TEST_F(ConnectionConfig, ReadersKeepAWholeConfigurationWhileItIsReplaced) {
    config["listen:timeout"] = 100;
    makeConnection();
    setConfigTime(someSecond, 0);
    connection->reloadConfigWatcher();

    constexpr int reloads = 200;
    std::atomic<bool> replacing{true};
    std::atomic<int> outOfRange{0};
    const auto reader = [&] {
        const Velk::JsonConfig session{Json::Value(Json::objectValue)};
        while (replacing.load()) {
            const uint32_t timeout = connection->currentListenTimeout();
            outOfRange += timeout < 100 || timeout > 100 + reloads ? 1 : 0;
            outOfRange += connection->prepareX11RdpArgs("s", "m", session, false).size() != 6 ? 1 : 0;
        }
    };
    constexpr int readerCount = 3;
    std::vector<std::thread> readers;
    readers.reserve(readerCount);
    for (int count = 0; count < readerCount; ++count) {
        readers.emplace_back(reader);
    }
    int loaded = 0;
    for (int it = 1; it <= reloads; ++it) {
        rewrite(100 + it, someSecond + it, 0);
        loaded += connection->reloadConfigWatcher() ? 1 : 0;
    }
    replacing.exchange(false);
    for (auto& thread : readers) {
        thread.join();
    }
    EXPECT_EQ(loaded, reloads);
    EXPECT_EQ(outOfRange.load(), 0);
    EXPECT_EQ(connection->currentListenTimeout(), static_cast<uint32_t>(100 + reloads));
}

}  // namespace
