// ProxyConnection's configuration in the test process: construction, the
// reloads the file watch brings (every change, each checked whole), the
// listen time-out, and readers that keep reading while the configuration is
// replaced under them.
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "connection_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;

class ConnectionConfig : public ConnectionFixture {
protected:
    // Rewrites the file with another time-out.
    void rewrite(int listenTimeout) {
        config["listen:timeout"] = listenTimeout;
        writeConfig(config);
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

// Every change is seen, however close to the start or to the one before.
TEST_F(ConnectionConfig, EachChangeOfTheFileIsLoadedOnceAndTheLevelWithIt) {
    config["listen:timeout"] = 30;
    makeConnection();
    EXPECT_FALSE(connection->reloadConfigWatcher()) << "nothing changed";
    rewrite(40);
    EXPECT_TRUE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 40U);
    EXPECT_FALSE(connection->reloadConfigWatcher()) << "an unchanged file is not read again";

    config["debug:level"] = "trace";
    rewrite(50);
    ASSERT_TRUE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 50U);
    EXPECT_EQ(Velk::Syslog::debugLevel(), static_cast<int>(Velk::DebugLevel::Trace));
}

TEST_F(ConnectionConfig, ARefusedOrVanishedFileKeepsTheConfigurationAndIsReportedOnce) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    config["listen:timeout"] = 30;
    makeConnection();
    writeFile(configFile, R"({"listen:timeout": 40,)");
    EXPECT_FALSE(connection->reloadConfigWatcher());
    EXPECT_FALSE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 30U);
    const std::string refused =
        "reloadConfigWatcher: configuration refused, the one in force is kept, file: " + configFile.string();
    EXPECT_EQ(journal.messages(refused, 1), std::vector<std::string>{refused});
    EXPECT_EQ(journal.messages("reloadConfigWatcher: " + configFile.string() + ":1:", 1).size(), 1U);

    fs::remove(configFile);
    EXPECT_FALSE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 30U);
    EXPECT_EQ(journal.messages("cannot be read: No such file or directory", 1).size(), 1U);

    rewrite(45);
    EXPECT_TRUE(connection->reloadConfigWatcher());
    EXPECT_EQ(connection->currentListenTimeout(), 45U);
    EXPECT_EQ(journal.messages(refused, 2).size(), 2U) << "each refusal said once";
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
        rewrite(100 + it);
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
