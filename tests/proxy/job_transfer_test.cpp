// One transfer job in the test process, between a real TCP connection and a
// unix socket pair whose far ends the test drives, so that the peers can be
// made as slow or as greedy as a test needs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client_io.h"
#include "logger.h"
#include "private_journal.h"
#include "proxy/answer_look.h"
#include "proxy/job_transfer.h"
#include "proxy/proxy.h"
#include "test_support.h"
#include "transport_record.h"
#include "utils/sockets.h"

namespace {

using namespace VelkTest;
using std::chrono::seconds;

void setBuffers(int fd, int size) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
}

// A connected TCP pair on the loopback; both ends get the buffer size given,
// the listener's before the handshake so that the window scale allows it.
std::pair<int, int> tcpPair(int bufferSize) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setBuffers(listener, bufferSize);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setBuffers(client, bufferSize);
    const bool connected = bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                           listen(listener, 1) == 0 &&
                           getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
                           connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    const int accepted = connected ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    close(listener);
    if (accepted < 0) {
        close(client);
        throw std::runtime_error("no loopback connection");
    }
    return {client, accepted};
}

class JobTransferTest : public ::testing::Test {
protected:
    JobTransferTest() {
        Velk::startProxy();
        Velk::Syslog::setDebugLevel(Velk::DebugLevel::Debug);
    }
    ~JobTransferTest() override {
        job.reset();
        close(client);
        close(transport);
        Velk::proxyRunning.exchange(false);
        Velk::Syslog::setDebugLevel(Velk::DebugLevel::Info);
    }

    // The proxy's ends go to the job; the test keeps the far ends.
    void startJob(int tcpBuffer, int unixBuffer, Velk::RelayChannel::Clock::time_point answerDeadline = {}) {
        const auto [clientEnd, proxyTcp] = tcpPair(tcpBuffer);
        int pair[2] = {-1, -1};
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
        setBuffers(pair[0], unixBuffer);
        setBuffers(pair[1], unixBuffer);
        client = clientEnd;
        transport = pair[1];
        // No transport process: the job has none to stop.
        job = std::make_unique<Velk::JobTransfer>(
            loop, reaper, ended,
            Velk::JobStart{proxyTcp,
                           pair[0],
                           {(files / "proxy_9_0").string(), (files / "sam_9_0").string()},
                           {},
                           {9, "ann", "127.0.0.1", 0, -1},
                           answerDeadline});
    }

    void endJob() {
        job.reset();
        close(client);
        close(transport);
    }

    PrivateJournal journal;
    TempDir files;
    int client = -1;
    int transport = -1;
    Velk::TransportReaper reaper;
    Velk::Utils::WakeEvent ended;
    Velk::RelayLoop loop;
    std::unique_ptr<Velk::JobTransfer> job;
};

// Both peers write everything before they read anything.  The transport's
// own socket holds little, the TCP side a lot: only a relay that keeps taking
// from the transport while its bytes for the transport wait can finish.
TEST_F(JobTransferTest, BothDirectionsBackedUpAtOnceStillDeliverEveryByteInOrder) {
    startJob(2 << 20, 64 << 10);
    const std::string up = transportPattern(0, 1 << 20);
    const std::string down = transportPattern(7, 1 << 20);

    auto clientSent = std::async(std::launch::async, [&] { return sendAll(client, up); });
    auto transportSent = std::async(std::launch::async, [&] { return sendAll(transport, down); });
    const bool bothSent = clientSent.wait_for(seconds(20)) == std::future_status::ready &&
                          transportSent.wait_for(seconds(20)) == std::future_status::ready;
    if (!bothSent) {
        // Unblock the writers so that the test can end.
        shutdown(client, SHUT_RDWR);
        shutdown(transport, SHUT_RDWR);
    }
    ASSERT_TRUE(bothSent) << "the relay stopped moving bytes while both directions were full";
    EXPECT_TRUE(clientSent.get());
    EXPECT_TRUE(transportSent.get());

    auto atTransport = std::async(std::launch::async, [&] { return receiveAll(transport, up.size()); });
    const std::string atClient = receiveAll(client, down.size());
    EXPECT_TRUE(atClient == down) << "bytes to the client lost, doubled or reordered";
    EXPECT_TRUE(atTransport.get() == up) << "bytes to the transport lost, doubled or reordered";
    EXPECT_TRUE(job->isRunning());
}

// A transport that answers keeps its session past the deadline; one that
// never does ends it there.
TEST_F(JobTransferTest, ATransportThatHasNotAnsweredByTheDeadlineEndsTheJob) {
    const auto deadline = [] { return Velk::RelayChannel::Clock::now() + std::chrono::milliseconds(100); };
    startJob(256 << 10, 256 << 10, deadline());
    ASSERT_TRUE(sendAll(transport, "answer"));
    EXPECT_EQ(receiveAll(client, 6, seconds(5)), "answer");
    EXPECT_FALSE(waitUntil([&] { return !job->isRunning(); }, std::chrono::milliseconds(300)));
    endJob();

    startJob(256 << 10, 256 << 10, deadline());
    ASSERT_TRUE(sendAll(client, "request"));
    EXPECT_TRUE(waitUntil([&] { return !job->isRunning(); }, seconds(5)));
}

TEST_F(JobTransferTest, AClientThatClosesEndsTheJobWithEndOfStream) {
    if (!journal.failure().empty()) {
        GTEST_SKIP() << journal.failure();
    }
    startJob(256 << 10, 256 << 10);
    ASSERT_TRUE(sendAll(client, "last words"));
    close(client);
    client = -1;
    ASSERT_TRUE(waitUntil([&] { return !job->isRunning(); }, seconds(5)));
    EXPECT_EQ(journal.messages("job stopped", 1),
              std::vector<std::string>{"JobTransfer: job stopped, session id: 9, result: recv end stream"});
    job.reset();
    EXPECT_EQ(receiveAll(transport, SIZE_MAX), "last words")
        << "the transport gets what was sent, then the end";
}

TEST_F(JobTransferTest, ATransportThatEndsHasItsBytesDeliveredBeforeTheClientSeesTheEnd) {
    startJob(2 << 20, 64 << 10);
    const std::string farewell = transportPattern(3, 2 << 20);
    auto sent = std::async(std::launch::async, [&] {
        const bool all = sendAll(transport, farewell);
        shutdown(transport, SHUT_WR);
        return all;
    });
    // The client reads only once the transport is done: the job must keep
    // what the client could not take yet instead of ending without it.
    ASSERT_EQ(sent.wait_for(seconds(20)), std::future_status::ready);
    EXPECT_TRUE(sent.get());
    std::string atClient = receiveAll(client, farewell.size());
    ASSERT_TRUE(waitUntil([&] { return !job->isRunning(); }, seconds(5)));
    job.reset();
    atClient += receiveAll(client, SIZE_MAX);
    EXPECT_EQ(atClient.size(), farewell.size());
    EXPECT_TRUE(atClient == farewell);
}

// One loop serves many sessions: a client that takes nothing fills its own
// session's buffers and must not hold up another session on the same loop.
TEST_F(JobTransferTest, AClientThatTakesNothingDoesNotHoldUpAnotherSessionOfTheLoop) {
    startJob(256 << 10, 64 << 10);
    auto flood =
        std::async(std::launch::async, [&] { return sendAll(transport, transportPattern(1, 16 << 20)); });

    const auto otherEnds = tcpPair(256 << 10);
    const int otherClient = otherEnds.first;
    int otherPair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, otherPair), 0);
    auto other = std::make_unique<Velk::JobTransfer>(
        loop, reaper, ended,
        Velk::JobStart{otherEnds.second,
                       otherPair[0],
                       {(files / "proxy_9_1").string(), (files / "sam_9_1").string()},
                       {},
                       {9, "ann", "127.0.0.1", 0, -1},
                       {}});
    const std::string up = transportPattern(2, 1 << 20);
    const std::string down = transportPattern(3, 1 << 20);
    auto atTransport = std::async(std::launch::async, [&] { return receiveAll(otherPair[1], up.size()); });
    auto atClient = std::async(std::launch::async, [&] { return receiveAll(otherClient, down.size()); });
    EXPECT_TRUE(sendAll(otherClient, up));
    EXPECT_TRUE(sendAll(otherPair[1], down));
    EXPECT_TRUE(atTransport.get() == up);
    EXPECT_TRUE(atClient.get() == down);
    EXPECT_EQ(flood.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the stalled session was not stalled: more than its buffers hold went through";

    other.reset();
    close(otherClient);
    close(otherPair[1]);
    job.reset();
    EXPECT_FALSE(flood.get()) << "the flood ends when its session does";
}

// Without a transport process to wait for, the files go at once.
TEST_F(JobTransferTest, TheDestructorRemovesTheSocketAndSamFiles) {
    const Fd socketFile(Velk::Socket::unixListen((files / "proxy_9_0").string(), 1));
    writeFile(files / "sam_9_0", "hash\n");
    startJob(256 << 10, 256 << 10);
    job.reset();
    EXPECT_FALSE(std::filesystem::exists(files / "proxy_9_0"));
    EXPECT_FALSE(std::filesystem::exists(files / "sam_9_0"));
    EXPECT_EQ(receiveAll(client, SIZE_MAX), "") << "the client's connection is closed";
}

}  // namespace

namespace {

// How a step's bytes move: through the pipe, through the buffer because the
// descriptors block, copied while the receiver keeps up, or spliced while
// the reads are large.
struct StepWay {
    const char* name;
    bool nonBlocking;
    Velk::PendingBytes::Route route;
};

const StepWay stepWays[] = {
    {"Spliced", true, Velk::PendingBytes::Route::Spliced},
    {"Blocking", false, Velk::PendingBytes::Route::Spliced},
    {"CopiedWhileTaken", true, Velk::PendingBytes::Route::CopiedWhileTaken},
    {"SplicedWhileLarge", true, Velk::PendingBytes::Route::SplicedWhileLarge},
};

void PrintTo(const StepWay& way, std::ostream* out) {
    *out << way.name;
}

}  // namespace

// One copy step between two unix socket pairs, whichever way its bytes move:
// the same results, the same bytes.
class TransferStep : public ::testing::TestWithParam<StepWay> {
protected:
    TransferStep() {
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &savedMask);
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in);
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out);
        setBuffers(out[0], 16 << 10);
        setBuffers(out[1], 16 << 10);
        if (GetParam().nonBlocking) {
            fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);
            fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
        }
    }
    ~TransferStep() override {
        for (const int fd : {in[0], in[1], out[0], out[1]}) {
            close(fd);
        }
        // A SIGPIPE the splice raised waits for this thread: taken here, so
        // that lifting the block does not end the program.
        const timespec now{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &now) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
    }

    int64_t step() { return Velk::jobTransferIter(in[1], out[0], pending, buf); }

    // in[0] writes, the step reads in[1] and writes out[0], out[1] receives.
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    Velk::PendingBytes pending{GetParam().route};
    std::vector<uint8_t> buf;
    sigset_t pipeSignal{};
    sigset_t savedMask{};
};

TEST_P(TransferStep, BytesThatDoNotFitWaitAndArriveInOrder) {
    const std::string data = transportPattern(7, 1 << 20);
    std::thread writer([&] { sendAll(in[0], data); });
    std::string received;
    while (received.size() < data.size()) {
        const int64_t moved = step();
        ASSERT_GE(moved, 0);
        if (!pending.empty()) {
            // The receiver is full: the step reads nothing more meanwhile.
            EXPECT_EQ(step(), 0);
        }
        char chunk[64 << 10];
        const ssize_t got = recv(out[1], chunk, sizeof(chunk), MSG_DONTWAIT);
        if (got > 0) {
            received.append(chunk, static_cast<size_t>(got));
        }
    }
    writer.join();
    EXPECT_TRUE(pending.empty());
    EXPECT_EQ(transportChecksum(received), transportChecksum(data));
}

TEST_P(TransferStep, NothingWaitingIsZeroAndAClosedSenderIsTheEndOfTheStream) {
    EXPECT_EQ(step(), 0);
    ASSERT_TRUE(sendAll(in[0], "last"));
    shutdown(in[0], SHUT_WR);
    EXPECT_EQ(step(), 4);
    EXPECT_EQ(receiveAll(out[1], 4), "last");
    EXPECT_EQ(step(), -2);
}

// The splice's SIGPIPE is blocked here as in the relay loop; unblocked, it
// would end the test program.
TEST_P(TransferStep, AReceiverThatHasGoneIsASendError) {
    close(out[1]);
    out[1] = -1;
    ASSERT_TRUE(sendAll(in[0], "lost"));
    EXPECT_EQ(step(), -4);
}

INSTANTIATE_TEST_SUITE_P(EachWay, TransferStep, ::testing::ValuesIn(stepWays),
                         [](const ::testing::TestParamInfo<StepWay>& param) { return param.param.name; });

namespace {

// Nothing to copy twice and nothing held in the relay's memory while the
// receiver is behind: the copying direction splices until a read goes out
// whole again.
TEST(PendingBytes, ACopyingDirectionSplicesWhileTheReceiverIsBehind) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out), 0);
    setBuffers(out[0], 16 << 10);
    setBuffers(out[1], 16 << 10);
    fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
    Velk::PendingBytes pending(Velk::PendingBytes::Route::CopiedWhileTaken);
    std::vector<uint8_t> buf;
    const auto step = [&] { return Velk::jobTransferIter(in[1], out[0], pending, buf); };
    const std::string data = transportPattern(5, 1 << 20);
    std::thread writer([&] { sendAll(in[0], data); });

    // More than the receiver can hold, so that the first read cannot go out whole.
    ASSERT_TRUE(waitUntil(
        [&] {
            int queued = 0;
            return ioctl(in[1], FIONREAD, &queued) == 0 && queued >= (64 << 10);
        },
        seconds(5)));
    EXPECT_TRUE(pending.copying());
    EXPECT_GT(step(), 0);
    EXPECT_FALSE(pending.empty()) << "the receiver took only part of the read";
    EXPECT_FALSE(pending.copying());
    std::string received;
    while (received.size() < data.size()) {
        ASSERT_GE(step(), 0);
        char chunk[64 << 10];
        const ssize_t got = recv(out[1], chunk, sizeof(chunk), MSG_DONTWAIT);
        received.append(chunk, static_cast<size_t>(std::max<ssize_t>(got, 0)));
    }
    writer.join();
    ASSERT_TRUE(sendAll(in[0], "tail"));
    EXPECT_EQ(step(), 4);
    EXPECT_TRUE(pending.copying()) << "a read that went out whole brings the copy back";
    EXPECT_EQ(receiveAll(out[1], 4), "tail");
    EXPECT_EQ(transportChecksum(received), transportChecksum(data));
    for (const int fd : {in[0], in[1], out[0], out[1]}) {
        close(fd);
    }
}

// The client's small messages are copied, a stream is spliced: the size of
// the last read decides, whichever way it was made.
TEST(PendingBytes, ADirectionSplicedWhileLargeCopiesSmallReadsAndSplicesAfterALargeOne) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, in), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, out), 0);
    Velk::PendingBytes pending(Velk::PendingBytes::Route::SplicedWhileLarge);
    std::vector<uint8_t> buf;
    const auto step = [&] { return Velk::jobTransferIter(in[1], out[0], pending, buf); };

    EXPECT_TRUE(pending.copying()) << "a connection starts with small messages";
    ASSERT_TRUE(sendAll(in[0], "hello"));
    EXPECT_EQ(step(), 5);
    EXPECT_TRUE(pending.copying());
    const std::string large = transportPattern(3, 64 << 10);
    ASSERT_TRUE(sendAll(in[0], large));
    EXPECT_EQ(step(), static_cast<int64_t>(large.size()));
    EXPECT_FALSE(pending.copying()) << "after a large read the stream is spliced";
    EXPECT_EQ(receiveAll(out[1], 5 + large.size()), "hello" + large);
    ASSERT_TRUE(sendAll(in[0], "key"));
    EXPECT_EQ(step(), 3);
    EXPECT_TRUE(pending.copying()) << "a small spliced read brings the copy back";
    EXPECT_EQ(receiveAll(out[1], 3), "key");
    for (const int fd : {in[0], in[1], out[0], out[1]}) {
        close(fd);
    }
}

}  // namespace

namespace {

using Velk::AnswerLook;

// Misses the look of each of `count` small messages.
void missLooks(AnswerLook& look, AnswerLook::Clock::time_point& now, int count) {
    for (int index = 0; index < count; ++index) {
        look.afterSmallMessage(now);
        now += AnswerLook::window;
        look.looking(now);
    }
}

TEST(AnswerLook, IsGivenUpAfterMissesTriedAgainEverLessOftenAndKeptWhileItFindsAnswers) {
    AnswerLook look;
    auto now = AnswerLook::Clock::time_point{} + std::chrono::seconds(1);
    look.afterSmallMessage(now);
    EXPECT_TRUE(look.looking(now + AnswerLook::window / 2));
    look.trafficArrived();
    EXPECT_FALSE(look.looking(now)) << "the answer ends the look";

    missLooks(look, now, AnswerLook::missesToGiveUp);
    const std::vector<int> expectedGaps = {64, 128, 256, 512, 1024, 2048, 4096, 4096};
    std::vector<int> gaps;
    int sinceLastTry = 0;
    while (gaps.size() < expectedGaps.size()) {
        look.afterSmallMessage(now);
        ++sinceLastTry;
        if (look.looking(now)) {
            gaps.push_back(sinceLastTry);
            sinceLastTry = 0;
        }
        now += AnswerLook::window;
        look.looking(now);
    }
    EXPECT_EQ(gaps, expectedGaps) << "each try that misses doubles the wait for the next, up to "
                                  << AnswerLook::longestTryAfter;

    missLooks(look, now, AnswerLook::longestTryAfter - 1);
    look.afterSmallMessage(now);
    ASSERT_TRUE(look.looking(now)) << "the try";
    look.trafficArrived();
    look.afterSmallMessage(now);
    EXPECT_TRUE(look.looking(now)) << "a try that found its answer brings the look back";
    missLooks(look, now, AnswerLook::missesToGiveUp);
    missLooks(look, now, AnswerLook::firstTryAfter - 1);
    look.afterSmallMessage(now);
    EXPECT_TRUE(look.looking(now)) << "and the tries start again from the shortest wait";
}

// The transport answers each request at once, the client never answers
// quickly: the look for the transport's answer stays, the one for the
// client's is given up, though every round has a hit.
TEST(AnswerLooks, EachSideKeepsOrGivesUpItsOwnLook) {
    Velk::AnswerLooks looks;
    auto now = AnswerLook::Clock::time_point{} + std::chrono::seconds(1);
    int transportLooks = 0;
    int clientLooks = 0;
    for (int round = 0; round < 20; ++round) {
        transportLooks += looks.afterSmallMessage(true, now) ? 1 : 0;
        looks.trafficArrived();
        clientLooks += looks.afterSmallMessage(false, now) ? 1 : 0;
        now += 2 * AnswerLook::window;
        EXPECT_FALSE(looks.looking(now)) << "a look past its time is over";
    }
    EXPECT_EQ(transportLooks, 20) << "the quick answers keep their look";
    EXPECT_EQ(clientLooks, AnswerLook::missesToGiveUp) << "the client's look is given up after its misses";
}

}  // namespace
