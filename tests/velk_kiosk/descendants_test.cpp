// Which processes the kiosk may signal: the parent read from /proc/<pid>/stat,
// and the chain of parents up to this test.
#include "velk_kiosk/descendants.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "test_support.h"

namespace {

using namespace VelkTest;
using Velk::isDescendantOf;
using Velk::parentFromStat;

TEST(Descendants, ParentFollowsTheLastParenthesisOfTheCommandName) {
    EXPECT_EQ(parentFromStat("1234 (sleep) S 42 1234 1234 0 -1"), 42);
    EXPECT_EQ(parentFromStat("77 (a) S 99 (b) R 5 6 7"), 5);
    EXPECT_EQ(parentFromStat("8 (x y)) Z 0 0"), 0);
    for (const char* broken : {"", "12 (x", "12 (x) S", "12 (x) S -", "12 (x)S 4", "12 (x) SS 4"}) {
        EXPECT_FALSE(parentFromStat(broken)) << broken;
    }
}

TEST(Descendants, ChainReachesGrandchildrenButNotParentsOrItself) {
    ChildProcess shell({"/bin/sh", "-c", "/bin/sleep 600 & wait"});
    std::vector<pid_t> grandchildren;
    ASSERT_TRUE(waitUntil([&] { return !(grandchildren = childrenOf(shell.pid())).empty(); },
                          std::chrono::seconds(10)));
    EXPECT_TRUE(isDescendantOf(shell.pid(), getpid()));
    EXPECT_TRUE(isDescendantOf(grandchildren.front(), getpid()));
    EXPECT_FALSE(isDescendantOf(getpid(), getpid()));
    EXPECT_FALSE(isDescendantOf(getppid(), getpid()));
    EXPECT_FALSE(isDescendantOf(1, getpid()));
    EXPECT_FALSE(isDescendantOf(getpid(), shell.pid()));
    kill(grandchildren.front(), SIGKILL);
}

}  // namespace
