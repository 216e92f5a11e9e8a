// velk_proxy's port against other users of the host: a listener on a
// wildcard takes both families or nothing, a held port cannot be shared by
// another user in either family while the proxy runs, and a privileged port
// listens with the one capability the unit's drop-in grants.
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client_io.h"
#include "journaled_proxy_test.h"

namespace {

using namespace VelkTest;
using std::chrono::seconds;

constexpr uid_t nobody = 65534;

// A listening socket of the test's own at the address; IPv6 ones take IPv6
// alone. -1 when the port cannot be had.
int listenAt(int family, const char* address, uint16_t port) {
    const auto [target, length] = tcpAddress(family, address, port);
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&target), length) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether a process of another user, asking to share the port every way the
// kernel knows (SO_REUSEADDR, SO_REUSEPORT), can bind and listen on it.
bool anotherUserListens(int family, const char* address, uint16_t port) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) {
            _exit(2);
        }
        const auto [target, length] = tcpAddress(family, address, port);
        const int fd = socket(family, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on));
        const bool bound =
            bind(fd, reinterpret_cast<const sockaddr*>(&target), length) == 0 && listen(fd, 1) == 0;
        _exit(bound ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A port below the first one an ordinary user may bind, free right now.
uint16_t freePrivilegedPort() {
    for (uint16_t port = 1023; port > 900; --port) {
        const int probe = listenAt(AF_INET, "127.0.0.1", port);
        if (probe >= 0) {
            close(probe);
            return port;
        }
    }
    return 0;
}

class ProxyPorts : public JournaledProxyTest {
protected:
    void SetUp() override {
        JournaledProxyTest::SetUp();
        if (!runningAsRoot()) {
            GTEST_SKIP() << "another user's process needs root to be made";
        }
    }
};

TEST_F(ProxyPorts, AWildcardListenerTakesBothFamiliesOrFailsTheAllowanceOutLoud) {
    harness.config["listen:addr"] = "0.0.0.0";
    harness.start();
    Fd squatter(listenAt(AF_INET6, "::", harness.port()));
    ASSERT_GE(squatter.get(), 0);
    EXPECT_EQ(harness.allowConnection(7, 1), false)
        << "the manager heard of a listener half the clients miss";
    EXPECT_EQ(proxyMessages("port: " + std::to_string(harness.port()) +
                            ", family: IPv6, error: Address already in use")
                  .size(),
              1U);
    EXPECT_EQ(connectTcp(AF_INET, "127.0.0.1", harness.port()), -1) << "the IPv4 half was left listening";

    squatter.reset();
    ASSERT_EQ(harness.allowConnection(8, 1), true);
    Fd client(connectTcp(AF_INET6, "::1", harness.port()));
    ASSERT_TRUE(client.get() >= 0 && sendConnectionRequest(client.get()));
    EXPECT_TRUE(harness.waitForSessionConnected(8, 0));
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

TEST_F(ProxyPorts, AHeldPortIsNobodyElsesInEitherFamilyAndAPortHeldElsewhereEndsTheStart) {
    harness.config["listen:addr"] = "0.0.0.0";
    harness.config["listen:hold-port"] = true;
    harness.start();
    const uint16_t port = harness.port();
    const std::vector<std::pair<int, const char*>> squats = {
        {AF_INET, "0.0.0.0"}, {AF_INET, "127.0.0.1"}, {AF_INET6, "::"}, {AF_INET6, "::1"}};
    const auto expectNobodyElse = [&](const char* when) {
        for (const auto& [family, address] : squats) {
            EXPECT_FALSE(anotherUserListens(family, address, port)) << address << ", " << when;
        }
    };
    expectNobodyElse("before an allowance");
    EXPECT_EQ(connectLoopback(port), -1) << "listening before any allowance";
    Fd client(harness.forwardClient(7));
    ASSERT_GE(client.get(), 0);
    EXPECT_EQ(exchange(client.get(), "ping", 4), "ping");
    expectNobodyElse("while a session runs");
    client.reset();
    EXPECT_EQ(connectLoopback(port), -1) << "still listening after the allowance";
    expectNobodyElse("after the session");

    ChildProcess second(
        {VELK_PROXY_BINARY, "--config", harness.configPath().string()},
        {{"DBUS_SYSTEM_BUS_ADDRESS", harness.bus.address()}, {"HOME", harness.home().string()}});
    const auto refused = second.wait(seconds(10));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->exitCode(), 1);
    EXPECT_EQ(journal
                  .messages("port: " + std::to_string(port) + ", family: IPv4, error: Address already in use",
                            1, seconds(5), second.pid())
                  .size(),
              1U);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

// As the unit's drop-in for a privileged port runs it: the user's proxy
// with CAP_NET_BIND_SERVICE as its one ambient capability.
TEST_F(ProxyPorts, APrivilegedPortListensWithTheCapabilityOfTheDropInAndNotWithout) {
    const TestUser user;
    const uint16_t port = freePrivilegedPort();
    ASSERT_NE(port, 0);
    harness.config["listen:port"] = port;
    const std::vector<std::string> asUser = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid()),
                                             "--regid=" + std::to_string(user.gid()), "--init-groups"};
    for (const bool capable : {true, false}) {
        harness.launcher = asUser;
        if (capable) {
            harness.launcher.insert(harness.launcher.end(),
                                    {"--bounding-set=-all,+net_bind_service", "--inh-caps=+net_bind_service",
                                     "--ambient-caps=+net_bind_service"});
        }
        harness.start({}, {{"HOME", user.home()}});
        harness.manager.setSessionInfo(R"({"uid": )" + std::to_string(user.uid()) + "}");
        EXPECT_EQ(harness.allowConnection(capable ? 7 : 8, 1), capable);
        EXPECT_EQ(harness.stop().exitCode(), 0);
    }
    EXPECT_EQ(
        proxyMessages("port: " + std::to_string(port) + ", family: IPv4, error: Permission denied").size(),
        1U);
}

}  // namespace
