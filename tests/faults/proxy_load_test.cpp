// velk_proxy under load: twenty connections allowed one after another, then
// all streaming at once through the stand-in's echo; every stream must come
// back intact, and once all are closed the proxy holds what it held before.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "client_io.h"
#include "forwarded_client.h"
#include "private_journal.h"
#include "transport_record.h"

namespace {

using namespace VelkTest;
using std::chrono::seconds;

constexpr size_t connectionCount = 20;
constexpr size_t streamBytes = 2 << 20;

struct StreamResult {
    size_t bytes = 0;
    uint64_t checksum = 0;
    uint64_t expected = 0;
};

// Each stream gets bytes of its own, so that crossed streams show.
StreamResult streamThrough(int fd, size_t index) {
    const std::string data = transportPattern(index * 104729, streamBytes);
    const std::string back = exchange(fd, data, data.size());
    return {back.size(), transportChecksum(back), transportChecksum(data)};
}

// One proxy per user on a host of hundreds: while nothing happens it holds
// the main thread alone and sleeps, keep-alive timer and all.
TEST(ProxyUnderLoad, AnIdleProxyHoldsOneThreadAndWakesForNothing) {
    ProxyHarness harness;
    harness.start({}, {{"WATCHDOG_USEC", "30000000"}});
    const pid_t pid = harness.proxy->pid();
    ASSERT_TRUE(waitUntil([&] { return threadCount(pid) == 1; }, seconds(5)));
    const long before = contextSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // The loop wakes at most every 10 s; the window may hold one such turn.
    EXPECT_LE(contextSwitches(pid) - before, 1) << "an idle proxy woke";
    EXPECT_EQ(threadCount(pid), 1U);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST(ProxyUnderLoad, TwentyTransfersAtOnceArriveIntactAndLeaveNothingBehind) {
    // First: it has to exist before any thread does.
    PrivateJournal journal;
    if (!journal.failure().empty()) {
        GTEST_SKIP() << journal.failure();
    }
    ProxyHarness harness;
    harness.config["listen:max-sessions"] = static_cast<int>(connectionCount);
    harness.start();
    const ForwardedClient warmUp = forwardClient(harness, 1);
    ASSERT_GE(warmUp.fd, 0);
    Fd first(warmUp.fd);
    ASSERT_EQ(exchange(first.get(), "ping", 4), "ping");
    first.reset();
    const auto baseline = settledHoldings(harness);
    ASSERT_TRUE(baseline);

    std::vector<std::unique_ptr<Fd>> clients;
    for (size_t index = 0; index < connectionCount; ++index) {
        const ForwardedClient forwarded = forwardClient(harness, static_cast<uint32_t>(100 + index));
        ASSERT_GE(forwarded.fd, 0) << "connection " << index;
        clients.push_back(std::make_unique<Fd>(forwarded.fd));
    }
    EXPECT_EQ(harness.allowConnectionOnceIdle(999, 1), false) << "an allowance past listen:max-sessions";
    const pid_t pid = harness.proxy->pid();
    EXPECT_EQ(childrenOf(pid).size(), connectionCount) << "one transport per connection";

    std::vector<StreamResult> results(connectionCount);
    std::vector<std::thread> streams;
    for (size_t index = 0; index < connectionCount; ++index) {
        streams.emplace_back([&, index] { results[index] = streamThrough(clients[index]->get(), index); });
    }
    for (auto& stream : streams) {
        stream.join();
    }
    for (size_t index = 0; index < connectionCount; ++index) {
        EXPECT_EQ(results[index].bytes, streamBytes) << "stream " << index;
        EXPECT_EQ(results[index].checksum, results[index].expected) << "stream " << index;
    }

    clients.clear();
    EXPECT_EQ(journal.messages("JobTransfer: job stopped", connectionCount + 1, seconds(20), pid).size(),
              connectionCount + 1);
    const auto after = settledHoldings(harness);
    ASSERT_TRUE(after) << "a transport or a file of a connection is left";
    Holdings last = *after;
    EXPECT_TRUE(waitUntil(
        [&] {
            last = holdingsOf(pid, harness.velkDir());
            return last == *baseline;
        },
        seconds(10)))
        << "before " << *baseline << ", after " << last;
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
