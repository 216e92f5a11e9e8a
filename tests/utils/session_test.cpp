// Session files and readiness tests for real: marker files under a temporary
// HOME, X authority files written by the xauth tool, sockets that appear late,
// peers that close.
#include "utils/session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "logger.h"
#include "test_support.h"
#include "utils/sockets.h"

namespace {

using VelkTest::EnvironmentGuard;
using VelkTest::Fd;
using VelkTest::LogCapture;

namespace fs = std::filesystem;
using namespace Velk;
using namespace std::chrono_literals;
using VelkTest::readFile;
using VelkTest::TempDir;
using VelkTest::writeFile;
using Bytes = std::vector<uint8_t>;

// Sets (or with a null value removes) a variable and restores it at the end.
struct Elapsed {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::milliseconds ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     start);
    }
};

// A home with the per-user directory .velk.
class SessionHome {
public:
    SessionHome() : home("HOME", dir.path().c_str()) { fs::create_directory(dir / ".velk"); }
    fs::path marker(const std::string& name) const { return dir / ".velk" / name; }
    const fs::path& path() const { return dir.path(); }

private:
    TempDir dir;
    EnvironmentGuard home;
};

TEST(SessionMarkers, SaveWritesThePidWithoutNewline) {
    SessionHome home;
    Utils::saveSessionPidFor("kiosk");
    EXPECT_EQ(readFile(home.marker("kiosk")), std::to_string(getpid()));

    writeFile(home.marker("kiosk"), "123456789012345");
    Utils::saveSessionPidFor("kiosk");
    EXPECT_EQ(readFile(home.marker("kiosk")), std::to_string(getpid())) << "truncated, not appended";
}

TEST(SessionMarkers, WaitFindsAnExistingEvenEmptyMarkerAtOnce) {
    SessionHome home;
    writeFile(home.marker("empty"), "");
    const Elapsed elapsed;
    EXPECT_TRUE(Utils::waitSessionPidFor("empty"));
    EXPECT_LT(elapsed.ms(), 100ms);
}

// The waits for markers and sockets look again after a short sleep.
const std::vector<long> sleeps = {SYS_nanosleep, SYS_clock_nanosleep};

TEST(SessionMarkers, WaitSeesAMarkerThatAppearsLater) {
    SessionHome home;
    const pid_t waiter = gettid();
    std::atomic<bool> waiterWasWaiting{false};
    std::thread writer([&] {
        waiterWasWaiting = VelkTest::waitUntilBlockedIn(waiter, sleeps, 5s);
        writeFile(home.marker("late"), "1");
    });
    const Elapsed elapsed;
    EXPECT_TRUE(Utils::waitSessionPidFor("late"));
    writer.join();
    EXPECT_TRUE(waiterWasWaiting) << "the marker was written before the wait began";
    EXPECT_LT(elapsed.ms(), 5s);
}

TEST(SessionMarkers, RemoveDeletesOnlyARegularFile) {
    SessionHome home;
    Utils::saveSessionPidFor("gone");
    ASSERT_TRUE(fs::exists(home.marker("gone")));
    Utils::removeSessionPidFor("gone");
    EXPECT_FALSE(fs::exists(home.marker("gone")));
    EXPECT_NO_THROW(Utils::removeSessionPidFor("gone"));

    fs::create_directory(home.marker("dir"));
    Utils::removeSessionPidFor("dir");
    EXPECT_TRUE(fs::is_directory(home.marker("dir")));
}

TEST(SessionMarkers, MissingHomeIsAnErrorForSaveAndWaitAndSilentForRemove) {
    EnvironmentGuard home("HOME", nullptr);
    LogCapture log;
    Utils::saveSessionPidFor("x");
    EXPECT_FALSE(Utils::waitSessionPidFor("x"));
    Utils::removeSessionPidFor("x");
    const std::string text = log.finish();
    EXPECT_EQ(text.find("saveSessionPidFor: HOME environment not found\n") != std::string::npos, true)
        << text;
    EXPECT_EQ(text.find("waitSessionPidFor: HOME environment not found\n") != std::string::npos, true)
        << text;
    EXPECT_EQ(text.find("removeSessionPidFor"), std::string::npos) << text;
}

TEST(SessionMarkers, MissingDirectoryIsNotCreatedAndSaveIsSilent) {
    TempDir dir;
    EnvironmentGuard home("HOME", dir.path().c_str());
    LogCapture log;
    Utils::saveSessionPidFor("x");
    const std::string text = log.finish();
    EXPECT_FALSE(fs::exists(dir / ".velk"));
    EXPECT_EQ(text, "");
}

TEST(SessionMarkers, UnqueryableMarkerRaisesFilesystemError) {
    TempDir dir;
    EnvironmentGuard home("HOME", dir.path().c_str());
    fs::create_symlink(".velk", dir / ".velk");  // a loop: every status query fails with ELOOP
    EXPECT_THROW(Utils::waitSessionPidFor("x"), fs::filesystem_error);
    EXPECT_THROW(Utils::removeSessionPidFor("x"), fs::filesystem_error);
}

class XauthFile : public ::testing::Test {
protected:
    // An authority file made by the real xauth tool with one entry.
    fs::path written(const std::string& display, const std::string& hexCookie) {
        auto path = dir / ("auth" + std::to_string(files++));
        const auto result =
            VelkTest::runProcess({"/usr/bin/xauth", "-f", path.string(), "add", display, ".", hexCookie});
        EXPECT_TRUE(result.exited() && result.exitCode() == 0) << result.err;
        return path;
    }

    TempDir dir;
    int files = 0;
};

TEST_F(XauthFile, CookieOfAFileWrittenByXauth) {
    const auto path = written(":7", "00112233445566778899aabbccddeeff");
    EXPECT_EQ(Utils::readXauthfile(path.string()), (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                                          0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
}

TEST_F(XauthFile, OnlyTheFirstEntryIsRead) {
    const auto path = written(":7", "0102");
    ASSERT_TRUE(
        VelkTest::runProcess({"/usr/bin/xauth", "-f", path.string(), "add", ":8", ".", "a0a1a2a3"}).exited());
    // xauth appends the second entry after the first.
    EXPECT_EQ(Utils::readXauthfile(path.string()), (Bytes{1, 2}));
}

TEST_F(XauthFile, EmptyFileGivesEmptyCookieWithoutAMessage) {
    const auto path = dir / "empty";
    writeFile(path, "");
    LogCapture log;
    EXPECT_TRUE(Utils::readXauthfile(path.string()).empty());
    EXPECT_EQ(log.finish(), "");
}

TEST_F(XauthFile, MissingFileIsAnError) {
    const auto path = dir / "absent";
    LogCapture log;
    EXPECT_TRUE(Utils::readXauthfile(path.string()).empty());
    EXPECT_NE(log.finish().find("readXauthfile: read xauthfile failed, path: " + path.string() + "\n"),
              std::string::npos);
}

// Every cut of a real file: the result is the cookie as far as the file holds
// it, zeros after, or empty when the cut falls before the cookie's length.
TEST_F(XauthFile, TruncatedFilesLeaveZerosAndNeverReadPastTheEnd) {
    const auto path = written(":7", "0102030405060708");
    const std::string whole = readFile(path);
    const Bytes cookie = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_GE(whole.size(), cookie.size() + 2);
    const size_t cookieStart = whole.size() - cookie.size();

    for (size_t cut = 0; cut < whole.size(); ++cut) {
        const auto part = dir / "cut";
        writeFile(part, whole.substr(0, cut));
        const Bytes got = Utils::readXauthfile(part.string());
        if (cut < cookieStart) {
            // The cookie's length is not (fully) there: nothing of the file is
            // taken as cookie bytes.
            EXPECT_EQ(std::count(got.begin(), got.end(), 0), static_cast<long>(got.size())) << "cut " << cut;
            if (cut == cookieStart - 1) {
                EXPECT_TRUE(got.empty()) << "the high length byte 00 alone gives 0";
            }
        } else {
            Bytes expected(cookie.size(), 0);
            std::copy(cookie.begin(), cookie.begin() + static_cast<long>(cut - cookieStart),
                      expected.begin());
            EXPECT_EQ(got, expected) << "cut " << cut;
        }
    }
}

TEST_F(XauthFile, GarbageGivesWhatTheLengthsSayAtMost64KiB) {
    const auto path = dir / "garbage";
    writeFile(path, std::string("\xff\xff\xff\xff\xff\xff", 6));
    EXPECT_TRUE(Utils::readXauthfile(path.string()).empty()) << "lengths past the end read as 0";

    writeFile(path, std::string("\0\0\0\0\0\0\0\0\xff\xff", 10) + "abc");
    const Bytes got = Utils::readXauthfile(path.string());
    ASSERT_EQ(got.size(), 0xffffU);
    EXPECT_EQ(got[0], 'a');
    EXPECT_EQ(got[2], 'c');
    EXPECT_EQ(got[3], 0);

    writeFile(path, "x");
    EXPECT_TRUE(Utils::readXauthfile(path.string()).empty());
}

TEST(DisplayNumber, NumberAfterTheLastColon) {
    const std::vector<std::pair<const char*, int>> cases = {
        {":0", 0}, {"host:12.0", 12}, {":10.0", 10}, {"host:", -1},        {":x", -1},
        {"", -1},  {"nocolon", -1},   {"a:b:3", 3},  {":99999999999", -1}, {": 5", 5},
    };
    for (const auto& [value, number] : cases) {
        EnvironmentGuard display("DISPLAY", value);
        EXPECT_EQ(Utils::displayNumber(), number) << value;
    }
    EnvironmentGuard display("DISPLAY", nullptr);
    EXPECT_EQ(Utils::displayNumber(), -1);
}

TEST(MountPoints, ComparedExactlyWithTheMountTable) {
    const std::string mounts = readFile("/proc/mounts");
    ASSERT_NE(mounts.find(" /proc "), std::string::npos);
    EXPECT_TRUE(Utils::isMountedPoint("/proc"));
    EXPECT_FALSE(Utils::isMountedPoint("/proc/"));
    EXPECT_FALSE(Utils::isMountedPoint("/pro"));
    EXPECT_FALSE(Utils::isMountedPoint("proc"));
    EXPECT_FALSE(Utils::isMountedPoint(""));
    EXPECT_FALSE(Utils::isMountedPoint("/velk/no/such/mount"));
    EXPECT_TRUE(Utils::isMountedPoint(std::string_view("/procx").substr(0, 5)));
}

TEST(SocketWait, ZeroSecondsTestsOnceAndReturnsAtOnce) {
    TempDir dir;
    const Elapsed elapsed;
    EXPECT_FALSE(Utils::waitSocketSec((dir / "none").string(), 0));
    EXPECT_LT(elapsed.ms(), 100ms);

    Fd listener(Socket::unixListen((dir / "sock").string(), 1));
    ASSERT_GE(listener.get(), 0);
    EXPECT_TRUE(Utils::waitSocketSec((dir / "sock").string(), 0));
}

TEST(SocketWait, RegularFileIsNoSocket) {
    TempDir dir;
    writeFile(dir / "file", "x");
    const Elapsed elapsed;
    EXPECT_FALSE(Utils::waitSocketSec((dir / "file").string(), 1));
    EXPECT_GE(elapsed.ms(), 1000ms);
    EXPECT_LT(elapsed.ms(), 3000ms);
}

TEST(SocketWait, SocketThatAppearsAfter300MsIsFound) {
    TempDir dir;
    const auto path = (dir / "late.sock").string();
    std::atomic<int> listenerFd{-1};
    const pid_t waiter = gettid();
    std::atomic<bool> waiterWasWaiting{false};
    std::thread creator([&] {
        waiterWasWaiting = VelkTest::waitUntilBlockedIn(waiter, sleeps, 5s);
        listenerFd = Socket::unixListen(path, 1);
    });
    const Elapsed elapsed;
    EXPECT_TRUE(Utils::waitSocketSec(path, 5));
    creator.join();
    EXPECT_TRUE(waiterWasWaiting) << "the socket was made before the wait began";
    EXPECT_LT(elapsed.ms(), 3000ms);
    Fd listener(listenerFd.load());
    EXPECT_GE(listener.get(), 0);
}

TEST(SocketWait, UnsearchablePathCountsAsNoSocketYet) {
    TempDir dir;
    fs::create_symlink("loop", dir / "loop");
    EXPECT_FALSE(Utils::waitSocketSec((dir / "loop" / "sock").string(), 0));
}

// A connected unix pair made with the library's own functions.
struct UnixPair {
    TempDir dir;
    Fd listener;
    Fd client;
    Fd server;

    UnixPair() {
        const auto path = (dir / "pair").string();
        listener.reset(Socket::unixListen(path, 1));
        client.reset(Socket::unixConnect(path));
        server.reset(Socket::unixAccept(listener.get()));
        EXPECT_GE(server.get(), 0);
    }
};

TEST(Readiness, NothingWaitingIsNotReadable) {
    UnixPair pair;
    const Elapsed elapsed;
    EXPECT_FALSE(Utils::hasInput(pair.server.get(), 0));
    EXPECT_FALSE(Utils::hasInput(pair.server.get(), 50));
    EXPECT_GE(elapsed.ms(), 50ms);
    EXPECT_EQ(Utils::hasData(pair.server.get()), 0);
}

TEST(Readiness, WaitingBytesAreReadableAndCounted) {
    UnixPair pair;
    Socket::sendRaw(pair.client.get(), "12345", 5);
    EXPECT_TRUE(Utils::hasInput(pair.server.get(), 1000));
    EXPECT_EQ(Utils::hasData(pair.server.get()), 5);
    EXPECT_TRUE(Utils::hasInput(pair.server.get(), -1)) << "negative waits without limit";
}

TEST(Readiness, ClosedPeerIsReadableWithNoData) {
    UnixPair pair;
    pair.client.reset();
    EXPECT_TRUE(Utils::hasInput(pair.server.get(), 0));
    EXPECT_EQ(Utils::hasData(pair.server.get()), 0);

    // The same over TCP.
    Fd listener(Socket::tcpListen("127.0.0.1", 0, 1));
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    Fd client(Socket::tcpConnect("127.0.0.1", ntohs(addr.sin_port)));
    Fd server(Socket::tcpAccept(listener.get(), nullptr));
    client.reset();
    EXPECT_TRUE(Utils::hasInput(server.get(), 1000));
    EXPECT_EQ(Utils::hasData(server.get()), 0);
}

TEST(Readiness, ListenerWithAWaitingClientIsReadable) {
    TempDir dir;
    const auto path = (dir / "l").string();
    Fd listener(Socket::unixListen(path, 1));
    EXPECT_FALSE(Utils::hasInput(listener.get(), 1));
    Fd client(Socket::unixConnect(path));
    EXPECT_TRUE(Utils::hasInput(listener.get(), 1000));
}

TEST(Readiness, NegativeDescriptorGivesFalseAndZero) {
    EXPECT_FALSE(Utils::hasInput(-1, 1000));
    EXPECT_EQ(Utils::hasData(-5), 0);
}

TEST(Readiness, ClosedDescriptorIsNotReadableAndHasDataThrows) {
    // A number far above the open ones, so that no later open takes it.
    const int stale = dup2(STDIN_FILENO, 900);
    ASSERT_EQ(stale, 900);
    close(stale);

    EXPECT_FALSE(Utils::hasInput(stale, 0)) << "POLLNVAL alone is no input";
    LogCapture log;
    try {
        Utils::hasData(stale);
        ADD_FAILURE() << "no exception";
    } catch (const velk_error& error) {
        EXPECT_STREQ(error.what(), "hasData");
    }
    EXPECT_NE(log.finish().find("hasData: ioctl failed, error: Bad file descriptor, code: 9\n"),
              std::string::npos);
}

std::atomic<int> signalsHandled{0};

void countSignal(int) {
    signalsHandled.fetch_add(1);
}

TEST(Readiness, PollInterruptedBySignalIsRestarted) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    signalsHandled = 0;

    UnixPair pair;
    std::atomic<bool> result{false};
    std::atomic<bool> thrown{false};
    std::atomic<pid_t> waiterId{0};
    std::thread waiter([&] {
        waiterId = gettid();
        try {
            result = Utils::hasInput(pair.server.get(), 5000);
        } catch (const std::exception&) {
            thrown = true;
        }
    });
    const std::vector<long> polls = {SYS_poll, SYS_ppoll};
    ASSERT_TRUE(VelkTest::waitUntil([&] { return waiterId.load() != 0; }, 5s));
    // Interrupted while it waits, and back in its wait afterwards.
    EXPECT_TRUE(VelkTest::waitUntilBlockedIn(waiterId, polls, 5s));
    pthread_kill(waiter.native_handle(), SIGUSR1);
    EXPECT_TRUE(VelkTest::waitUntil([] { return signalsHandled.load() == 1; }, 5s));
    EXPECT_TRUE(VelkTest::waitUntilBlockedIn(waiterId, polls, 5s));
    Socket::sendRaw(pair.client.get(), "x", 1);
    waiter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_FALSE(thrown);
    EXPECT_TRUE(result);
}

TEST(Hostname, MatchesTheKernelsNodeName) {
    const std::string name = Utils::getHostname();
    EXPECT_LE(name.size(), 256U);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name + "\n", readFile("/proc/sys/kernel/hostname"));
}

}  // namespace
