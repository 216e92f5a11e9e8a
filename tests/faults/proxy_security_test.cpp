// velk_proxy started as root with --user: every identity it and its
// transport run with is the user's and none is root's, and what they create
// in the user's ".velk" is writable by the user alone, the SAM file readable
// by the user alone.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "client_io.h"
#include "forwarded_client.h"
#include "private_journal.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::seconds;

std::set<std::string> userGroups(const TestUser& user) {
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (getgrouplist(user.name().c_str(), user.gid(), groups.data(), &count) < 0) {
        return {};
    }
    std::set<std::string> names;
    for (int index = 0; index < count; ++index) {
        names.insert(std::to_string(groups[static_cast<size_t>(index)]));
    }
    return names;
}

// Real, effective, saved and file-system ids, then the supplementary groups.
void expectUsersIdentity(pid_t pid, const TestUser& user, const std::string& who) {
    const std::string uid = std::to_string(user.uid());
    const std::string gid = std::to_string(user.gid());
    EXPECT_EQ(statusWords(pid, "Uid"), std::vector<std::string>(4, uid)) << who;
    EXPECT_EQ(statusWords(pid, "Gid"), std::vector<std::string>(4, gid)) << who;
    const auto groups = statusWords(pid, "Groups");
    EXPECT_EQ(std::set<std::string>(groups.begin(), groups.end()), userGroups(user)) << who;
    EXPECT_EQ(std::count(groups.begin(), groups.end(), "0"), 0) << who << " keeps root's group";
}

::testing::AssertionResult ownedAndNotWritableByOthers(const fs::path& path, uid_t owner) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return ::testing::AssertionFailure() << path << " is gone";
    }
    if (st.st_uid != owner) {
        return ::testing::AssertionFailure() << path << " belongs to uid " << st.st_uid;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return ::testing::AssertionFailure() << path << " has mode " << std::oct << (st.st_mode & 07777);
    }
    return ::testing::AssertionSuccess();
}

TEST(ProxySecurity, AfterTheChangeOfUserEveryIdAndFileIsTheUsersAlone) {
    // First: it has to exist before any thread does.
    PrivateJournal journal;
    if (!journal.failure().empty()) {
        GTEST_SKIP() << journal.failure();
    }
    if (!runningAsRoot()) {
        GTEST_SKIP() << "changing the user needs root";
    }
    TestUser user;
    ProxyHarness harness;
    // No record file: the user could not write one among the test's files.
    Json::Value args(Json::arrayValue);
    args.append("/ipc-socket:%{socket}");
    args.append("/standin:echo");
    harness.config["x11rdp:args"] = args;
    harness.start({"--user", user.name()}, {{"HOME", user.home()}});
    harness.manager.setSessionInfo(R"({"sec:nla": true, "ntlm": "user:hash", "uid": )" +
                                   std::to_string(user.uid()) + "}");

    const ForwardedClient forwarded = forwardClient(harness, 7, 42);
    ASSERT_GE(forwarded.fd, 0);
    Fd client(forwarded.fd);
    ASSERT_EQ(exchange(client.get(), "ping", 4), "ping");
    expectUsersIdentity(harness.proxy->pid(), user, "proxy");
    expectUsersIdentity(forwarded.transport, user, "transport");

    const fs::path velk = fs::path(user.home()) / ".velk";
    EXPECT_TRUE(ownedAndNotWritableByOthers(velk, user.uid()));
    const fs::path sam = velk / "sam_42_7_0";
    ASSERT_TRUE(fs::exists(sam)) << "no SAM file for a session with NLA and a hash";
    EXPECT_EQ(fs::status(sam).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(fs::exists(velk / "proxy_7_0"));
    EXPECT_TRUE(fs::exists(velk / ("rdp_transport_" + std::to_string(user.uid()) + "_0.log")));
    for (const auto& entry : fs::directory_iterator(velk)) {
        EXPECT_TRUE(ownedAndNotWritableByOthers(entry.path(), user.uid()));
    }

    client.reset();
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(sam) && !fs::exists(velk / "proxy_7_0"); }, seconds(10)));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
