// velk_proxy as a process when what it stands on fails: its transport killed
// in the middle of a transfer, the manager killed while a transfer runs and a
// client is awaited, the bus killed under it, and its configuration broken,
// deleted and restored while connections run.  Each case ends with the proxy
// holding what it held before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client_io.h"
#include "forwarded_client.h"
#include "journaled_proxy_test.h"
#include "private_journal.h"
#include "transport_record.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The file watch loads a change at once: a margin for a loaded machine.
constexpr auto watcherLook = seconds(5);

// Bytes that differ from one exchange to the next.
std::string payload(uint64_t offset, size_t size) {
    return transportPattern(offset * 7919, size);
}

bool echoesIntact(int fd, uint64_t offset, size_t size) {
    const std::string data = payload(offset, size);
    const std::string back = exchange(fd, data, data.size());
    return back.size() == data.size() && transportChecksum(back) == transportChecksum(data);
}

class ProxyUnderFaults : public JournaledProxyTest {
protected:
    // Starts the proxy and takes its holdings after one whole connection, so
    // that what is made once per process is counted.
    void startWithBaseline() {
        harness.start();
        const ForwardedClient first = forwardClient(harness, 1);
        ASSERT_GE(first.fd, 0);
        Fd client(first.fd);
        ASSERT_TRUE(echoesIntact(client.get(), 0, 4096));
        client.reset();
        const auto settled = settledHoldings(harness);
        ASSERT_TRUE(settled);
        baseline = *settled;
    }

    void expectBaselineAgain() const {
        const auto now = settledHoldings(harness);
        ASSERT_TRUE(now) << "a transport or a file of a connection is left";
        Holdings last = *now;
        const bool same = waitUntil(
            [&] {
                last = holdingsOf(harness.proxy->pid(), harness.velkDir());
                return last == baseline;
            },
            seconds(10));
        EXPECT_TRUE(same) << "before " << baseline << ", after " << last;
    }

    // Faults take their time: the default wait is twice the usual.
    std::vector<std::string> proxyMessages(const std::string& marker, size_t expected = 1,
                                           milliseconds timeout = seconds(10)) const {
        return JournaledProxyTest::proxyMessages(marker, expected, timeout);
    }
    Holdings baseline;
};

TEST_F(ProxyUnderFaults, ATransportKilledMidTransferEndsItsJobAndLeavesNothing) {
    harness.useStandinTransport({"source:1073741824"});
    harness.start();
    // The source never ends by itself: the first connection is closed by
    // its client once the baseline's things exist.
    ForwardedClient first = forwardClient(harness, 1);
    ASSERT_GE(first.fd, 0);
    ASSERT_EQ(receiveAll(first.fd, 4096), transportPattern(0, 4096));
    close(first.fd);
    const auto settled = settledHoldings(harness);
    ASSERT_TRUE(settled);
    baseline = *settled;

    const ForwardedClient victim = forwardClient(harness, 7);
    ASSERT_GE(victim.fd, 0);
    ASSERT_GT(victim.transport, 0);
    Fd client(victim.fd);
    const size_t head = 4 << 20;
    std::string received = receiveAll(client.get(), head);
    ASSERT_EQ(received.size(), head);
    ASSERT_EQ(kill(victim.transport, SIGKILL), 0);
    // What was on its way arrives; then the client sees the end.
    received += receiveAll(client.get(), size_t{1} << 30, seconds(10));
    EXPECT_TRUE(peerClosed(client.get(), seconds(10)));
    EXPECT_GE(received.size(), head);
    EXPECT_EQ(transportChecksum(received), transportChecksum(transportPattern(0, received.size())))
        << "bytes were changed on their way, " << received.size() << " received";

    const auto stopped = proxyMessages("JobTransfer: job stopped, session id: 7");
    ASSERT_EQ(stopped.size(), 1U);
    EXPECT_NE(stopped.front().find("result: recv "), std::string::npos) << stopped.front();
    EXPECT_TRUE(
        waitUntil([&] { return !fs::exists("/proc/" + std::to_string(victim.transport)); }, seconds(10)))
        << "the killed transport was not reaped";
    expectBaselineAgain();

    const ForwardedClient after = forwardClient(harness, 8);
    ASSERT_GE(after.fd, 0) << "the proxy no longer forwards";
    Fd next(after.fd);
    EXPECT_EQ(receiveAll(next.get(), 65536), transportPattern(0, 65536));
    next.reset();
    expectBaselineAgain();
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyUnderFaults, AManagerKilledLetsRunningTransfersGoOnAndEndsOnlyTheListenJob) {
    startWithBaseline();
    const ForwardedClient running = forwardClient(harness, 7);
    ASSERT_GE(running.fd, 0);
    Fd client(running.fd);
    ASSERT_TRUE(echoesIntact(client.get(), 1, 1 << 20));
    ASSERT_EQ(harness.allowConnection(8, 1), true);

    ASSERT_EQ(kill(harness.manager.pid(), SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return !harness.manager.running(); }, seconds(10)));

    EXPECT_TRUE(echoesIntact(client.get(), 2, 8 << 20)) << "the running transfer did not go on intact";
    // The awaited client is accepted, but the manager cannot be told of it.
    Fd late(connectRdpClient(harness.port()));
    ASSERT_GE(late.get(), 0);
    EXPECT_TRUE(peerClosed(late.get(), seconds(10)));
    late.reset();
    EXPECT_TRUE(echoesIntact(client.get(), 3, 8 << 20));

    client.reset();
    ASSERT_EQ(proxyMessages("JobTransfer: job stopped, session id: 7").size(), 1U);
    expectBaselineAgain();
    ASSERT_TRUE(harness.proxy->running());
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// Ending must cost the proxy next to nothing: a loop that spins on the dead
// connection would use a second of CPU per second.
TEST_F(ProxyUnderFaults, ABusKilledEndsTheProxyCleanlyWithAnErrorLine) {
    startWithBaseline();
    const pid_t pid = harness.proxy->pid();
    const ForwardedClient running = forwardClient(harness, 7);
    ASSERT_GE(running.fd, 0);
    Fd client(running.fd);
    ASSERT_TRUE(echoesIntact(client.get(), 1, 65536));
    const size_t recordsBefore = journal.records("", 0, milliseconds(0), pid).size();

    const long ticksBefore = cpuTicks(pid);
    ASSERT_GE(ticksBefore, 0);
    ASSERT_EQ(kill(harness.bus.pid(), SIGKILL), 0);
    const bool ended = waitUntil([&] { return endedUnreaped(pid); }, seconds(20));
    const long ticksUsed = cpuTicks(pid) - ticksBefore;
    EXPECT_LT(ticksUsed, sysconf(_SC_CLK_TCK)) << "CPU ticks used while ending";
    RecordProperty("cpuTicksWhileEnding", static_cast<int>(ticksUsed));
    ASSERT_TRUE(ended) << "the proxy still runs after its bus was killed";

    const auto result = harness.proxy->wait(seconds(1));
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->exited());
    EXPECT_EQ(result->exitCode(), 1) << "a lost bus is an error for the service manager to see";
    const auto records = journal.records("", recordsBefore + 1, seconds(5), pid);
    size_t errors = 0;
    for (size_t index = recordsBefore; index < records.size(); ++index) {
        errors += records[index]["PRIORITY"].asString() == "3" ? 1 : 0;
    }
    EXPECT_GE(errors, 1U) << "the proxy ended without an error line";
    EXPECT_TRUE(peerClosed(client.get(), seconds(10)));
    EXPECT_TRUE(
        waitUntil([&] { return !fs::exists("/proc/" + std::to_string(running.transport)); }, seconds(10)))
        << "the transport outlived the proxy";
    EXPECT_FALSE(fs::exists(harness.velkDir() / "proxy_7_0"));
}

using ProxyConfigUnderFaults = ProxyUnderFaults;

TEST_F(ProxyConfigUnderFaults, BrokenDeletedAndRestoredConfigurationLeavesConnectionsAlone) {
    startWithBaseline();
    const ForwardedClient one = forwardClient(harness, 7);
    const ForwardedClient two = forwardClient(harness, 8);
    ASSERT_GE(one.fd, 0);
    ASSERT_GE(two.fd, 0);
    Fd first(one.fd);
    Fd second(two.fd);
    uint64_t round = 0;
    const auto bothIntact = [&] {
        ++round;
        return echoesIntact(first.get(), round, 1 << 20) && echoesIntact(second.get(), round + 100, 1 << 20);
    };
    ASSERT_TRUE(bothIntact());

    writeFile(harness.configPath(), "{\"listen:port\": garbage");
    const std::string refused = "reloadConfigWatcher: configuration refused, the one in force is kept";
    ASSERT_EQ(proxyMessages(refused, 1, watcherLook).size(), 1U);
    EXPECT_TRUE(bothIntact());

    fs::remove(harness.configPath());
    EXPECT_FALSE(proxyMessages("cannot be read: No such file or directory", 1, watcherLook).empty());
    EXPECT_TRUE(bothIntact());
    EXPECT_EQ(proxyMessages(refused, 2, milliseconds(0)).size(), 2U) << "a refusal was said more than once";

    const uint16_t newPort = freeLoopbackPort();
    harness.config["listen:port"] = newPort;
    harness.writeConfig();
    ASSERT_EQ(proxyMessages("reloadConfigWatcher: success", 1, watcherLook).size(), 1U);
    EXPECT_TRUE(bothIntact());
    EXPECT_EQ(proxyMessages(refused, 2, milliseconds(0)).size(), 2U);

    // The restored file is in force: the next listener opens on its port.
    ASSERT_EQ(harness.allowConnection(9, 1), true);
    Fd third(connectRdpClient(newPort));
    ASSERT_GE(third.get(), 0) << "nothing listens on the restored file's port";
    ASSERT_TRUE(harness.waitForSessionConnected(9, 0));
    ASSERT_TRUE(readConnectionConfirm(third.get()));
    EXPECT_TRUE(echoesIntact(third.get(), 500, 65536));

    first.reset();
    second.reset();
    third.reset();
    expectBaselineAgain();
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
