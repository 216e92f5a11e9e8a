// Socket wrappers against real peers: IPv4 TCP on the loopback and unix stream
// sockets on paths in a temporary directory; exact-length transfers with peers
// that close, stall or vanish.
#include "utils/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "logger.h"
#include "test_support.h"

namespace {

using VelkTest::Fd;
using VelkTest::LogCapture;

namespace fs = std::filesystem;
using namespace Velk;
using VelkTest::connectTcp;
using VelkTest::TempDir;

uint16_t boundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    return ntohs(addr.sin_port);
}

std::string boundAddress(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text));
    return text;
}

bool closeOnExec(int fd) {
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// A connected loopback TCP pair made with the functions under test.
struct TcpPair {
    Fd listener;
    Fd client;
    Fd server;
    std::string peer;

    TcpPair() {
        listener.reset(Socket::tcpListen("127.0.0.1", 0, 1));
        EXPECT_GE(listener.get(), 0);
        client.reset(Socket::tcpConnect("127.0.0.1", boundPort(listener.get())));
        EXPECT_GE(client.get(), 0);
        server.reset(Socket::tcpAccept(listener.get(), &peer));
        EXPECT_GE(server.get(), 0);
    }
};

TEST(TcpSockets, ListenConnectAcceptAndTransferBothWays) {
    TcpPair pair;
    EXPECT_EQ(pair.peer, "127.0.0.1");

    const std::string hello = "hello, server";
    Socket::sendRaw(pair.client.get(), hello.data(), static_cast<ssize_t>(hello.size()));
    std::string got(hello.size(), '\0');
    Socket::recvRaw(pair.server.get(), got.data(), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, hello);

    const uint32_t number = 0x01020304;
    Socket::sendRaw(pair.server.get(), &number, sizeof(number));
    EXPECT_EQ(Socket::recvInt32(pair.client.get()), number);
}

TEST(TcpSockets, ListenerIsCloseOnExecAndConnectedSocketIsNot) {
    TcpPair pair;
    EXPECT_TRUE(closeOnExec(pair.listener.get()));
    EXPECT_FALSE(closeOnExec(pair.client.get()));
}

TEST(TcpSockets, AnyAddressBindsAllInterfacesLoopbackOnlyTheLoopback) {
    Fd any(Socket::tcpListen("0.0.0.0", 0, 1));
    ASSERT_GE(any.get(), 0);
    EXPECT_EQ(boundAddress(any.get()), "0.0.0.0");

    Fd loop(Socket::tcpListen("127.0.0.1", 0, 1));
    ASSERT_GE(loop.get(), 0);
    EXPECT_EQ(boundAddress(loop.get()), "127.0.0.1");

    // A connection to another loopback address reaches only the any-address listener.
    Fd toAny(Socket::tcpConnect("127.0.0.2", boundPort(any.get())));
    EXPECT_GE(toAny.get(), 0);
    LogCapture log;
    Fd toLoop(Socket::tcpConnect("127.0.0.2", boundPort(loop.get())));
    EXPECT_EQ(toLoop.get(), -1);
    EXPECT_NE(log.finish().find("tcpConnect: connect failed, error: Connection refused, code: 111"),
              std::string::npos);
}

TEST(TcpSockets, PortAlreadyBoundFailsAtBindAndClosesTheSocket) {
    Fd first(Socket::tcpListen("127.0.0.1", 0, 1));
    ASSERT_GE(first.get(), 0);
    const uint16_t port = boundPort(first.get());

    const int before = VelkTest::countOpenDescriptors();
    LogCapture log;
    EXPECT_EQ(Socket::tcpListen("127.0.0.1", port, 1), -1);
    EXPECT_EQ(Socket::tcpListen("0.0.0.0", port, 1), -1);
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOpenDescriptors(), before);
    for (const std::string address : {"127.0.0.1", "0.0.0.0"}) {
        EXPECT_EQ(VelkTest::countOccurrences(text, "tcpListen: bind failed, address: " + address +
                                                       ", port: " + std::to_string(port) +
                                                       ", error: Address already in use, code: 98\n"),
                  1U)
            << text;
    }
    EXPECT_EQ(text.find("reuseaddr"), std::string::npos) << text;
}

// Digits and dots are an address, never a host name to look up.
TEST(TcpSockets, AMistypedNumericAddressFailsWithoutALookUp) {
    const int before = VelkTest::countOpenDescriptors();
    LogCapture log;
    EXPECT_EQ(Socket::tcpListen("999.0.0.1", 3389, 1), -1);
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOpenDescriptors(), before);
    EXPECT_NE(text.find("tcpListen: getaddrinfo failed, address: 999.0.0.1, port: 3389, error: "),
              std::string::npos)
        << text;
}

TEST(TcpSockets, BothFamiliesListenOnTheUnspecifiedIpv6AddressAndNamesResolve) {
    Fd both(Socket::tcpListen("::", 0, 4));
    ASSERT_GE(both.get(), 0);
    sockaddr_in6 bound{};
    socklen_t length = sizeof(bound);
    ASSERT_EQ(getsockname(both.get(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    const uint16_t port = ntohs(bound.sin6_port);
    for (const auto& [family, address] : {std::pair{AF_INET6, "::1"}, std::pair{AF_INET, "127.0.0.1"}}) {
        Fd client(connectTcp(family, address, port));
        ASSERT_GE(client.get(), 0) << address;
        std::string peer;
        uint16_t peerPort = 0;
        Fd server(Socket::tcpAccept(both.get(), &peer, &peerPort));
        EXPECT_EQ(peer, address);
        EXPECT_EQ(peerPort, boundPort(client.get())) << address;
    }
    Fd named(Socket::tcpListen("localhost", 0, 1));
    ASSERT_GE(named.get(), 0);
    EXPECT_EQ(boundAddress(named.get()), "127.0.0.1");
}

TEST(TcpSockets, ExplicitBroadcastTextIsStillPassedToBind) {
    // inet_addr gives the same value for it, but it is a parsable address:
    // whatever the kernel decides is the result, never the unparsable path.
    LogCapture log;
    Fd fd(Socket::tcpListen("255.255.255.255", 0, 1));
    const std::string text = log.finish();
    EXPECT_EQ(text.find("Cannot assign requested address"), std::string::npos) << text;
}

TEST(TcpSockets, RefusedConnectReturnsMinusOneAndClosesTheSocket) {
    uint16_t port = 0;
    {
        Fd probe(Socket::tcpListen("127.0.0.1", 0, 1));
        port = boundPort(probe.get());
    }
    const int before = VelkTest::countOpenDescriptors();
    LogCapture log;
    EXPECT_EQ(Socket::tcpConnect("127.0.0.1", port), -1);
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOpenDescriptors(), before);
    EXPECT_EQ(VelkTest::countOccurrences(
                  text, "tcpConnect: connect failed, error: Connection refused, code: 111\n"),
              1U)
        << text;
}

TEST(TcpSockets, AcceptOnANonListeningDescriptorFails) {
    TcpPair pair;
    std::string peer = "unchanged";
    LogCapture log;
    EXPECT_EQ(Socket::tcpAccept(pair.client.get(), &peer), -1);
    EXPECT_EQ(Socket::tcpAccept(-1, nullptr), -1);
    EXPECT_EQ(Socket::unixAccept(-1), -1);
    const std::string text = log.finish();
    EXPECT_EQ(peer, "unchanged");
    EXPECT_EQ(
        VelkTest::countOccurrences(text, "tcpAccept: accept failed, error: Invalid argument, code: 22\n"), 1U)
        << text;
    EXPECT_EQ(
        VelkTest::countOccurrences(text, "tcpAccept: accept failed, error: Bad file descriptor, code: 9\n"),
        1U)
        << text;
    EXPECT_EQ(
        VelkTest::countOccurrences(text, "unixAccept: accept failed, error: Bad file descriptor, code: 9\n"),
        1U)
        << text;
}

TEST(TcpSockets, AcceptWithoutAPeerStringStillAccepts) {
    Fd listener(Socket::tcpListen("127.0.0.1", 0, 1));
    Fd client(Socket::tcpConnect("127.0.0.1", boundPort(listener.get())));
    Fd server(Socket::tcpAccept(listener.get(), nullptr));
    EXPECT_GE(server.get(), 0);
}

TEST(UnixSockets, ListenConnectAcceptAndTransfer) {
    TempDir dir;
    const auto path = (dir / "sock").string();
    Fd listener(Socket::unixListen(path, 5));
    ASSERT_GE(listener.get(), 0);
    EXPECT_TRUE(fs::is_socket(path));
    EXPECT_FALSE(closeOnExec(listener.get()));

    Fd client(Socket::unixConnect(path));
    ASSERT_GE(client.get(), 0);
    Fd server(Socket::unixAccept(listener.get()));
    ASSERT_GE(server.get(), 0);

    const std::vector<uint8_t> bytes = {1, 2, 3, 0, 255};
    Socket::sendRaw(client.get(), bytes.data(), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(Socket::recvData(server.get(), bytes.size()), bytes);
}

TEST(UnixSockets, LeftoverSocketFileMakesTheBindFail) {
    TempDir dir;
    const auto path = (dir / "sock").string();
    {
        Fd first(Socket::unixListen(path, 1));
        ASSERT_GE(first.get(), 0);
    }
    ASSERT_TRUE(fs::is_socket(path)) << "the file outlives its socket";

    const int before = VelkTest::countOpenDescriptors();
    LogCapture log;
    EXPECT_EQ(Socket::unixListen(path, 1), -1);
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOpenDescriptors(), before);
    EXPECT_EQ(VelkTest::countOccurrences(
                  text, "unixListen: bind failed, error: Address already in use, code: 98\n"),
              1U)
        << text;
}

TEST(UnixSockets, ConnectWithoutAListenerFailsAndCloses) {
    TempDir dir;
    const int before = VelkTest::countOpenDescriptors();
    LogCapture log;
    EXPECT_EQ(Socket::unixConnect((dir / "none").string()), -1);
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOpenDescriptors(), before);
    EXPECT_EQ(VelkTest::countOccurrences(
                  text, "unixConnect: connect failed, error: No such file or directory, code: 2\n"),
              1U)
        << text;
}

TEST(UnixSockets, LongPathIsCutTo107BytesWithOneWarning) {
    TempDir dir;
    for (const size_t length : {108U, 140U}) {
        std::string path = (dir / "s").string();
        path.append(length - path.size(), 'x');
        ASSERT_EQ(path.size(), length);
        const std::string cut = path.substr(0, 107);

        LogCapture log;
        Fd listener(Socket::unixListen(path, 1));
        std::string text = log.finish();
        ASSERT_GE(listener.get(), 0) << text;
        EXPECT_EQ(VelkTest::countOccurrences(text, "unixListen: unix path is long, truncated to size: 107\n"),
                  1U)
            << text;
        EXPECT_EQ(VelkTest::countOccurrences(text, "warning"), 0U);
        EXPECT_TRUE(fs::is_socket(cut));
        EXPECT_FALSE(fs::exists(path));

        LogCapture connectLog;
        Fd client(Socket::unixConnect(path));
        text = connectLog.finish();
        EXPECT_GE(client.get(), 0);
        EXPECT_EQ(VelkTest::countOccurrences(text, "truncated to size: 107"), 1U) << text;
        EXPECT_EQ(
            VelkTest::countOccurrences(text, "unixConnect: unix path is long, truncated to size: 107\n"), 1U)
            << text;
        Fd server(Socket::unixAccept(listener.get()));
        EXPECT_GE(server.get(), 0);
        fs::remove(cut);
    }
}

TEST(UnixSockets, PathOf107BytesIsUsedWhole) {
    TempDir dir;
    std::string path = (dir / "s").string();
    path.append(107 - path.size(), 'y');
    LogCapture log;
    Fd listener(Socket::unixListen(path, 1));
    const std::string text = log.finish();
    EXPECT_GE(listener.get(), 0);
    EXPECT_EQ(text.find("truncated"), std::string::npos) << text;
    EXPECT_TRUE(fs::is_socket(path));
}

TEST(ExactTransfer, PeerThatSendsFourOfTenAndClosesThrowsAfterConsumingThem) {
    TcpPair pair;
    const uint8_t four[4] = {9, 8, 7, 6};
    Socket::sendRaw(pair.client.get(), four, sizeof(four));
    pair.client.reset();

    uint8_t buffer[10] = {};
    LogCapture log;
    try {
        Socket::recvRaw(pair.server.get(), buffer, sizeof(buffer));
        ADD_FAILURE() << "no exception";
    } catch (const velk_error& error) {
        EXPECT_STREQ(error.what(), "recvRaw");
    }
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOccurrences(text, "recvRaw: end stream\n"), 1U) << text;
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{9, 8, 7, 6}));
    EXPECT_EQ(std::vector<uint8_t>(buffer + 4, buffer + 10), std::vector<uint8_t>(6, 0));

    // Nothing is left: the next receive meets the end at once.
    EXPECT_THROW(Socket::recvData(pair.server.get(), 1), velk_error);
}

TEST(ExactTransfer, ReceiveCollectsDataSentInPieces) {
    TcpPair pair;
    const pid_t receiver = gettid();
    std::atomic<int> piecesAfterAWait{0};
    std::thread sender([fd = pair.client.get(), receiver, &piecesAfterAWait] {
        for (uint8_t piece = 0; piece < 5; ++piece) {
            // Each piece only once the receiver waits for more.
            piecesAfterAWait +=
                VelkTest::waitUntilBlockedIn(receiver, {SYS_recvfrom}, std::chrono::seconds(5)) ? 1 : 0;
            const uint8_t bytes[2] = {piece, piece};
            Socket::sendRaw(fd, bytes, sizeof(bytes));
        }
    });
    const auto data = Socket::recvData(pair.server.get(), 10);
    sender.join();
    EXPECT_EQ(data, (std::vector<uint8_t>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4}));
    EXPECT_EQ(piecesAfterAWait, 5);
}

TEST(ExactTransfer, NonBlockingDescriptorWaitsThroughEagain) {
    TcpPair pair;
    ASSERT_EQ(fcntl(pair.server.get(), F_SETFL, fcntl(pair.server.get(), F_GETFL) | O_NONBLOCK), 0);
    const pid_t receiver = gettid();
    std::atomic<bool> receiverWasWaiting{false};
    std::thread sender([fd = pair.client.get(), receiver, &receiverWasWaiting] {
        // Sent only once the receiver has met EAGAIN and waits in the kernel.
        receiverWasWaiting =
            VelkTest::waitUntilBlockedIn(receiver, {SYS_poll, SYS_ppoll}, std::chrono::seconds(5));
        const uint64_t value = 0x1122334455667788ULL;
        Socket::sendRaw(fd, &value, sizeof(value));
    });
    EXPECT_EQ(Socket::recvInt64(pair.server.get()), 0x1122334455667788ULL);
    sender.join();
    EXPECT_TRUE(receiverWasWaiting);
}

TEST(ExactTransfer, LengthBelowOneReadsAndWritesNothing) {
    // A socket with nothing to read: a real read would block the test.
    TcpPair pair;
    EXPECT_NO_THROW(Socket::recvRaw(pair.server.get(), nullptr, 0));
    EXPECT_NO_THROW(Socket::recvRaw(pair.server.get(), nullptr, -5));
    EXPECT_NO_THROW(Socket::sendRaw(pair.server.get(), nullptr, 0));
    EXPECT_NO_THROW(Socket::sendRaw(pair.server.get(), nullptr, -1));
    EXPECT_TRUE(Socket::recvData(pair.server.get(), 0).empty());
}

TEST(ExactTransfer, IntegersAreReturnedInHostOrder) {
    TcpPair pair;
    const uint8_t bytes[] = {1, 0, 0, 0, 0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 8};
    Socket::sendRaw(pair.client.get(), bytes, sizeof(bytes));

    uint16_t int16 = 0;
    uint64_t int64 = 0;
    std::memcpy(&int16, bytes + 4, 2);
    std::memcpy(&int64, bytes + 6, 8);
    const uint32_t one = Socket::recvInt32(pair.server.get());
    if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        EXPECT_EQ(one, 1U);
    }
    EXPECT_EQ(Socket::recvInt16(pair.server.get()), int16);
    EXPECT_EQ(Socket::recvInt64(pair.server.get()), int64);
}

TEST(ExactTransfer, BadDescriptorIsAnErrorNotAnEndOfStream) {
    uint8_t byte = 0;
    LogCapture log;
    try {
        Socket::recvRaw(-1, &byte, 1);
        ADD_FAILURE() << "no exception";
    } catch (const velk_error& error) {
        EXPECT_STREQ(error.what(), "recvRaw");
    }
    try {
        Socket::sendRaw(-1, &byte, 1);
        ADD_FAILURE() << "no exception";
    } catch (const velk_error& error) {
        EXPECT_STREQ(error.what(), "sendRaw");
    }
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOccurrences(text, "recvRaw: recv failed, error: Bad file descriptor, code: 9\n"),
              1U)
        << text;
    EXPECT_EQ(VelkTest::countOccurrences(text, "sendRaw: send failed, error: Bad file descriptor, code: 9\n"),
              1U)
        << text;
    EXPECT_EQ(text.find("end stream"), std::string::npos) << text;
}

std::atomic<int> sigpipeCount{0};

void onSigpipe(int) {
    sigpipeCount.fetch_add(1);
}

TEST(ExactTransfer, SendToAClosedPeerThrowsAndNeverRaisesSigpipe) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = onSigpipe;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &action, &previous), 0);
    sigpipeCount = 0;

    for (const bool unix : {false, true}) {
        TempDir dir;
        Fd listener;
        Fd client;
        Fd server;
        if (unix) {
            const auto path = (dir / "pipe").string();
            listener.reset(Socket::unixListen(path, 1));
            client.reset(Socket::unixConnect(path));
            server.reset(Socket::unixAccept(listener.get()));
        } else {
            listener.reset(Socket::tcpListen("127.0.0.1", 0, 1));
            client.reset(Socket::tcpConnect("127.0.0.1", boundPort(listener.get())));
            server.reset(Socket::tcpAccept(listener.get(), nullptr));
        }
        ASSERT_GE(server.get(), 0);
        server.reset();

        const std::vector<uint8_t> block(size_t{64} * 1024, 0x5a);
        LogCapture log;
        bool thrown = false;
        for (int round = 0; round < 100 && !thrown; ++round) {
            try {
                Socket::sendRaw(client.get(), block.data(), static_cast<ssize_t>(block.size()));
            } catch (const velk_error& error) {
                EXPECT_STREQ(error.what(), "sendRaw");
                thrown = true;
            }
        }
        const std::string text = log.finish();
        EXPECT_TRUE(thrown) << (unix ? "unix" : "tcp");
        EXPECT_EQ(VelkTest::countOccurrences(text, "sendRaw: send failed, error: "), 1U) << text;
    }

    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(sigpipeCount.load(), 0);
}

}  // namespace
