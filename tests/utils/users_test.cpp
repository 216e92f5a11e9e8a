// Account look-ups, the owner switch and file ownership with real accounts
// made by useradd for the test (root only).
#include "utils/users.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "logger.h"
#include "test_support.h"
#include "utils/process.h"

namespace {

namespace fs = std::filesystem;
using VelkTest::readFile;
using VelkTest::TempDir;
using VelkTest::TestUser;
using namespace Velk;

#define REQUIRE_ROOT()                                                  \
    if (!VelkTest::runningAsRoot()) {                                   \
        GTEST_SKIP() << "needs root to create test users with useradd"; \
    }

std::map<std::string, std::string> keyValues(const std::string& text) {
    std::map<std::string, std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            result[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return result;
}

const char* identityScript =
    "echo uid=$(id -u); echo gid=$(id -g); echo groups=$(id -G); echo home=$HOME; echo user=$USER; "
    "echo logname=$LOGNAME; echo shell=$SHELL; echo term=$TERM; echo cwd=$(pwd)";

TEST(AccountLookup, KnownAccountsAreCopiedIntoRecords) {
    const auto root = Utils::getUserInfo("root", true);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->user, "root");
    EXPECT_EQ(root->uid, 0U);
    EXPECT_EQ(root->gid, 0U);
    EXPECT_EQ(root->home, "/root");
    EXPECT_FALSE(root->groups.empty());
    EXPECT_EQ(root->groups.front(), 0U);

    EXPECT_TRUE(Utils::getUserInfo("root", false)->groups.empty());
    EXPECT_EQ(Utils::getGroupGid("root"), 0U);
    EXPECT_EQ(Utils::getGroupInfo("root")->name, "root");
}

TEST(AccountLookup, MissingAccountsGiveNullZeroOrEmpty) {
    EXPECT_EQ(Utils::getUserInfo("velk-no-such-user"), nullptr);
    EXPECT_EQ(Utils::getUserUid("velk-no-such-user"), 0U);
    EXPECT_EQ(Utils::getGroupInfo("velk-no-such-group"), nullptr);
    EXPECT_EQ(Utils::getGroupGid("velk-no-such-group"), 0U);
    EXPECT_TRUE(Utils::getGroupMembers("velk-no-such-group").empty());
    EXPECT_EQ(Utils::getShadowInfo("velk-no-such-user"), nullptr);
}

TEST(AccountLookup, EmptyNameGivesNullWithoutAMessage) {
    Syslog::setDebugLevel(DebugLevel::Console);
    VelkTest::StderrCapture capture;
    EXPECT_EQ(Utils::getUserInfo(""), nullptr);
    const std::string text = capture.finish();
    Syslog::setDebugLevel(DebugLevel::Info);
    EXPECT_EQ(text, "");
}

TEST(AccountLookup, MissingUserIsWarnedWithItsName) {
    Syslog::setDebugLevel(DebugLevel::Console);
    VelkTest::StderrCapture capture;
    Utils::getUserInfo("velk-no-such-user");
    const std::string text = capture.finish();
    Syslog::setDebugLevel(DebugLevel::Info);
    EXPECT_NE(text.find("getUserInfo: getpwnam_r failed, user: `velk-no-such-user', error: no such account"),
              std::string::npos)
        << text;
}

TEST(AccountLookup, TestUserWithGroupsMembersAndShadow) {
    REQUIRE_ROOT();
    TestUser user;
    const auto info = Utils::getUserInfo(user.name(), true);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->uid, user.uid());
    EXPECT_EQ(info->gid, user.gid());
    EXPECT_EQ(info->home, user.home());
    EXPECT_EQ(info->shell, "/bin/sh");
    EXPECT_NE(std::find(info->groups.begin(), info->groups.end(), user.gid()), info->groups.end());
    EXPECT_NE(std::find(info->groups.begin(), info->groups.end(), user.extraGid()), info->groups.end());

    EXPECT_EQ(Utils::getGroupMembers(user.group()), std::list<std::string>{user.name()});
    EXPECT_EQ(Utils::getUserUid(user.name()), user.uid());

    const auto shadow = Utils::getShadowInfo(user.name());
    ASSERT_TRUE(shadow);
    EXPECT_EQ(shadow->name, user.name());
    EXPECT_GT(shadow->lastChange, 0);
}

TEST(SwitchToUser, RootNeedsNoSwitchAndSetsNothing) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        unsetenv("LOGNAME");
        auto root = Utils::getUserInfo("root", true);
        root->user = "not-root";  // uid 0 alone is enough
        const bool byUid = Utils::switchToUser(*root);
        root->user = "root";
        root->uid = 4242;  // the name alone is enough too
        const bool byName = Utils::switchToUser(*root);
        _exit(byUid && byName && getuid() == 0 && !getenv("LOGNAME") ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(OwnedChild, RunsAsTheOwnerWithItsGroupsAndEnvironment) {
    REQUIRE_ROOT();
    TestUser user;
    TempDir dir;
    const auto log = dir / "identity.log";
    fs::permissions(dir.path(), fs::perms::all);
    ASSERT_TRUE(
        Utils::runChildProcessWait("/bin/sh", {"-c", identityScript}, {}, user.name().c_str(), log.c_str()));
    auto values = keyValues(readFile(log));
    EXPECT_EQ(values["uid"], std::to_string(user.uid()));
    EXPECT_EQ(values["gid"], std::to_string(user.gid()));
    EXPECT_NE(values["groups"].find(std::to_string(user.extraGid())), std::string::npos) << values["groups"];
    EXPECT_EQ(values["home"], user.home());
    EXPECT_EQ(values["cwd"], user.home());
    EXPECT_EQ(values["user"], user.name());
    EXPECT_EQ(values["logname"], user.name());
    EXPECT_EQ(values["shell"], "/bin/sh");
    EXPECT_EQ(values["term"], "linux");
}

TEST(OwnedChild, LogGoesToOwnerOnlyVelkDirectoryInTheHome) {
    REQUIRE_ROOT();
    TestUser user;
    ASSERT_TRUE(
        Utils::runChildProcessWait("/bin/sh", {"-c", "echo logged"}, {}, user.name().c_str(), nullptr));

    const fs::path dir = fs::path(user.home()) / ".velk";
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700U);
    EXPECT_EQ(st.st_uid, user.uid());
    EXPECT_EQ(readFile(dir / "sh.log"), "logged\n");

    // The extension of the program's name is replaced by ".log".
    TempDir bin;
    VelkTest::writeFile(bin / "a.out", "#!/bin/sh\necho from-a-out\n");
    fs::permissions(bin / "a.out", fs::perms::all);
    fs::permissions(bin.path(), fs::perms::all);
    ASSERT_TRUE(Utils::runChildProcessWait(bin / "a.out", {}, {}, user.name().c_str(), nullptr));
    EXPECT_EQ(readFile(dir / "a.log"), "from-a-out\n");
}

TEST(OwnedChild, MissingHomeFallsBackToOwnerOnlyTmpDirectory) {
    REQUIRE_ROOT();
    TestUser user(false);
    ASSERT_TRUE(
        Utils::runChildProcessWait("/bin/sh", {"-c", "echo home=$HOME"}, {}, user.name().c_str(), nullptr));
    const fs::path dir = fs::path("/tmp") / (".velk_" + user.name());
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700U);
    EXPECT_EQ(st.st_uid, user.uid());
    EXPECT_EQ(readFile(dir / "sh.log"), "home=" + user.home() + "\n");
}

TEST(OwnedChild, PlantedTmpDirectoryOfAnotherUserIsNotTrusted) {
    REQUIRE_ROOT();
    TestUser user(false);
    const fs::path dir = fs::path("/tmp") / (".velk_" + user.name());
    fs::create_directory(dir);
    fs::permissions(dir, fs::perms::all);  // root's, world-writable
    ASSERT_TRUE(
        Utils::runChildProcessWait("/bin/sh", {"-c", "echo secret"}, {}, user.name().c_str(), nullptr));
    EXPECT_FALSE(fs::exists(dir / "sh.log"));
}

TEST(OwnedChild, UnknownOwnerRunsTheChildUnchanged) {
    TempDir dir;
    const auto log = dir / "out.log";
    ASSERT_TRUE(Utils::runChildProcessWait("/bin/sh", {"-c", "id -u"}, {}, "velk-no-such-user", log.c_str()));
    EXPECT_EQ(readFile(log), std::to_string(getuid()) + "\n");
}

TEST(OwnedChild, FailedSwitchReplacesTheProgramByBinFalse) {
    REQUIRE_ROOT();
    TempDir dir;
    const auto marker = dir / "ran";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto impossible = Utils::getUserInfo("nobody", true);
        impossible->uid = static_cast<uint32_t>(-1);  // setuid refuses it
        Utils::runOwnerCommand("/bin/sh", {"-c", "touch " + marker.string()}, {}, impossible.get(), nullptr);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_FALSE(fs::exists(marker));
}

TEST(SetOwner, ChownsToUserAndNamedOrPrimaryGroup) {
    REQUIRE_ROOT();
    TestUser user;
    TempDir dir;
    const auto file = dir / "owned";
    VelkTest::writeFile(file, "x");
    struct stat st {};

    ASSERT_TRUE(Utils::setOwner(file.string(), user.name(), ""));
    stat(file.c_str(), &st);
    EXPECT_EQ(st.st_uid, user.uid());
    EXPECT_EQ(st.st_gid, user.gid());

    ASSERT_TRUE(Utils::setOwner(file.string(), user.name(), user.group()));
    stat(file.c_str(), &st);
    EXPECT_EQ(st.st_gid, user.extraGid());

    ASSERT_TRUE(Utils::setOwner(file.string(), user.name(), "velk-no-such-group"));
    stat(file.c_str(), &st);
    EXPECT_EQ(st.st_gid, 0U);

    EXPECT_FALSE(Utils::setOwner(file.string(), "velk-no-such-user", ""));
    EXPECT_FALSE(Utils::setOwner((dir / "missing").string(), user.name(), ""));
}

}  // namespace
