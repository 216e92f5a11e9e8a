// The relay loop with channels of the test's own: when it calls them, that it
// lets them go for good, that a channel looking for an answer keeps it awake
// only while it looks, and where the loops put a new session.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "proxy/relay_loop.h"
#include "test_support.h"
#include "utils/unique_fd.h"

namespace {

using std::chrono::seconds;
using VelkTest::waitUntil;

// An eventfd the loop waits on. A channel that drains it is called once per
// raise; one that leaves it raised is called on every turn of the loop.
class ProbeChannel final : public Velk::RelayChannel {
public:
    ProbeChannel(Velk::RelayLoop& on, bool drains, int looks = 0)
        : loop(on), event(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), drainsEvent(drains), looksLeft(looks) {
        watch = {this, event.get()};
    }
    ~ProbeChannel() = default;
    ProbeChannel(const ProbeChannel&) = delete;
    ProbeChannel& operator=(const ProbeChannel&) = delete;

    void raise() const {
        const uint64_t one = 1;
        EXPECT_EQ(write(event.get(), &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
    }

    std::atomic<int> attachedCalls{0};
    std::atomic<int> readyCalls{0};
    std::atomic<int> detachedCalls{0};
    std::atomic<int> lookingCalls{0};
    std::atomic<bool> calledOutOfOrder{false};

private:
    void attached() override {
        calledOutOfOrder = calledOutOfOrder || attachedCalls > 0 || detachedCalls > 0;
        ++attachedCalls;
        loop.watch(watch, POLLIN);
    }
    void ready(Velk::RelayWatch& /*watch*/, uint32_t /*events*/, std::vector<uint8_t>& /*buffer*/) override {
        calledOutOfOrder = calledOutOfOrder || attachedCalls == 0 || detachedCalls > 0;
        ++readyCalls;
        if (drainsEvent) {
            uint64_t count = 0;
            EXPECT_EQ(read(event.get(), &count, sizeof(count)), static_cast<ssize_t>(sizeof(count)));
        }
        if (looksLeft > 0) {
            loop.keepLooking(*this);
        }
    }
    void detached() override {
        calledOutOfOrder = calledOutOfOrder || attachedCalls == 0 || detachedCalls > 0;
        ++detachedCalls;
        loop.watch(watch, 0);
    }
    bool looking(Clock::time_point /*now*/) override {
        ++lookingCalls;
        return --looksLeft > 0;
    }

    Velk::RelayLoop& loop;
    Velk::Utils::UniqueFd event;
    Velk::RelayWatch watch;
    bool drainsEvent;
    int looksLeft;
};

// Another channel is served after the detach: the loop has gone round since.
void waitForAnotherTurn(Velk::RelayLoop& loop) {
    ProbeChannel marker(loop, true);
    loop.attach(marker);
    marker.raise();
    EXPECT_TRUE(waitUntil([&] { return marker.readyCalls > 0; }, seconds(10)));
    loop.detach(marker);
}

TEST(RelayLoop, AChannelIsServedUntilItsDetachReturnsAndNeverAfter) {
    Velk::RelayLoop loop;
    ProbeChannel busy(loop, false);
    busy.raise();
    loop.attach(busy);
    ASSERT_TRUE(waitUntil([&] { return busy.readyCalls > 100; }, seconds(10)))
        << "a descriptor left ready is served on every turn";
    loop.detach(busy);
    const int callsAtDetach = busy.readyCalls;
    EXPECT_EQ(busy.detachedCalls, 1);
    waitForAnotherTurn(loop);
    EXPECT_EQ(busy.readyCalls, callsAtDetach) << "the channel was called after it was let go";
    EXPECT_EQ(busy.detachedCalls, 1);
    EXPECT_FALSE(busy.calledOutOfOrder);

    // Detached before the loop had taken it on: taken on and let go, in order.
    ProbeChannel brief(loop, true);
    loop.attach(brief);
    loop.detach(brief);
    EXPECT_EQ(brief.attachedCalls, 1);
    EXPECT_EQ(brief.detachedCalls, 1);
    EXPECT_FALSE(brief.calledOutOfOrder);
}

// A loop holds a thread only while it has channels, and serves the next one
// with a thread started anew.
TEST(RelayLoop, ItsThreadRunsFromTheFirstChannelUntilItHasBeenEmptyAWhile) {
    Velk::RelayLoop loop(std::chrono::milliseconds(50));
    EXPECT_FALSE(loop.threadRunning());
    for (int round = 0; round < 2; ++round) {
        ProbeChannel channel(loop, true);
        loop.attach(channel);
        EXPECT_TRUE(loop.threadRunning());
        channel.raise();
        EXPECT_TRUE(waitUntil([&] { return channel.readyCalls > 0; }, seconds(10))) << "round " << round;
        loop.detach(channel);
        EXPECT_TRUE(waitUntil([&] { return !loop.threadRunning(); }, seconds(10))) << "round " << round;
    }
}

TEST(RelayLoop, EveryChannelOfALoopIsServedWhileAnotherIsAlwaysReady) {
    Velk::RelayLoop loop;
    ProbeChannel busy(loop, false);
    busy.raise();
    loop.attach(busy);
    std::vector<std::unique_ptr<ProbeChannel>> quiet;
    for (int i = 0; i < 8; ++i) {
        quiet.push_back(std::make_unique<ProbeChannel>(loop, true));
        loop.attach(*quiet.back());
    }
    for (int round = 1; round <= 3; ++round) {
        for (const auto& channel : quiet) {
            channel->raise();
        }
        EXPECT_TRUE(waitUntil(
            [&] {
                return std::all_of(quiet.begin(), quiet.end(),
                                   [round](const auto& channel) { return channel->readyCalls >= round; });
            },
            seconds(10)))
            << "round " << round;
    }
    for (const auto& channel : quiet) {
        loop.detach(*channel);
    }
    loop.detach(busy);
}

TEST(RelayLoop, AChannelLookingForAnAnswerKeepsTheLoopAwakeOnlyWhileItLooks) {
    Velk::RelayLoop loop;
    constexpr int looks = 50;
    ProbeChannel looker(loop, true, looks);
    loop.attach(looker);
    looker.raise();
    ASSERT_TRUE(waitUntil([&] { return looker.lookingCalls >= looks; }, seconds(10)))
        << "the loop did not look again by itself: " << looker.lookingCalls << " looks";
    waitForAnotherTurn(loop);
    waitForAnotherTurn(loop);
    EXPECT_EQ(looker.lookingCalls, looks) << "the loop asked a channel that had stopped looking";
    EXPECT_EQ(looker.readyCalls, 1);
    loop.detach(looker);
}

// A loop that spins on a descriptor left ready is busy; the next session goes
// to the other loop, and back to the first once it is quiet again. The loops
// are judged over a span of time, so the test lets such spans pass.
TEST(RelayLoops, ANewSessionGoesToTheFirstLoopThatIsNotBusy) {
    using Clock = std::chrono::steady_clock;
    const auto madeAt = Clock::now();
    Velk::RelayLoops loops(2);
    Velk::RelayLoop& first = loops.pick();
    EXPECT_EQ(&loops.pick(), &first) << "quiet sessions share a loop";

    ProbeChannel spinner(first, false);
    spinner.raise();
    first.attach(spinner);
    const double cpuBefore = first.cpuSeconds();
    const auto spinFrom = Clock::now();
    ASSERT_TRUE(waitUntil(
        [&] {
            return first.cpuSeconds() - cpuBefore > 0.2 &&
                   Clock::now() - madeAt > 2 * Velk::RelayLoops::judgedOver;
        },
        seconds(20)));
    const double share =
        (first.cpuSeconds() - cpuBefore) / std::chrono::duration<double>(Clock::now() - spinFrom).count();
    Velk::RelayLoop& next = loops.pick();
    const auto busyJudgedAt = Clock::now();
    first.detach(spinner);
    if (share < 0.75) {
        GTEST_SKIP() << "the spinning loop had only " << share << " of a CPU on this loaded machine";
    }
    EXPECT_NE(&next, &first) << "a loop busy with " << share << " of a CPU was given another session";

    ASSERT_TRUE(waitUntil([&] { return Clock::now() - busyJudgedAt > 2 * Velk::RelayLoops::judgedOver; },
                          seconds(5)));
    EXPECT_EQ(&loops.pick(), &first) << "the first loop is quiet again";
}

}  // namespace
