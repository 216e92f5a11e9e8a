// The main loop of the proxy ends on a stop whenever the stop comes: before
// the loop is entered (a signal during the start) as well as while it waits,
// without anyone leaving the loop for it.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "proxy/proxy.h"
#include "test_support.h"

namespace {

using std::chrono::seconds;

// Runs a loop of its own on a thread of its own. A loop that never ends is
// left behind, detached with its dispatcher and promises, so that the test
// fails instead of hanging.
class LoopRun {
public:
    explicit LoopRun(const std::function<void(Velk::ProxyDispatcher&)>& beforeEnter)
        : state(std::make_unique<State>()), loop([run = state.get(), beforeEnter] {
              run->threadId.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
              beforeEnter(run->dispatcher);
              run->dispatcher.enter();
              run->ended.set_value();
          }) {}
    ~LoopRun() {
        if (endsWithin(seconds(0))) {
            loop.join();
        } else {
            loop.detach();
            static_cast<void>(state.release());
        }
    }
    LoopRun(const LoopRun&) = delete;
    LoopRun& operator=(const LoopRun&) = delete;

    Velk::ProxyDispatcher& dispatcher() { return state->dispatcher; }
    pid_t thread() { return threadId.get(); }
    bool endsWithin(seconds timeout) { return ended.wait_for(timeout) == std::future_status::ready; }

private:
    struct State {
        Velk::ProxyDispatcher dispatcher;
        std::promise<pid_t> threadId;
        std::promise<void> ended;
    };
    std::unique_ptr<State> state;
    std::future<pid_t> threadId = state->threadId.get_future();
    std::future<void> ended = state->ended.get_future();
    std::thread loop;
};

TEST(ProxyMainLoop, AStopEndsItWhetherItComesBeforeTheLoopIsEnteredOrWhileItWaits) {
    {
        // A signal during the start: the stop comes before the loop is entered.
        Velk::startProxy();
        LoopRun run([](Velk::ProxyDispatcher& /*dispatcher*/) { Velk::stopProxy(Velk::StopReason::Signal); });
        EXPECT_TRUE(run.endsWithin(seconds(10))) << "a stop before the loop was entered was lost";
    }
    {
        Velk::startProxy();
        LoopRun run([](Velk::ProxyDispatcher& /*dispatcher*/) {});
        ASSERT_TRUE(VelkTest::waitUntilBlockedIn(run.thread(), {SYS_poll, SYS_ppoll}, seconds(10)));
        EXPECT_FALSE(run.endsWithin(seconds(0)));
        Velk::stopProxy(Velk::StopReason::Signal);
        EXPECT_TRUE(run.endsWithin(seconds(10))) << "a stop while the loop waited was not seen";
    }
}

}  // namespace
