// Everything a test of velk_proxy as a process needs: a private bus with the
// stand-in manager, a home directory of its own, a configuration file, the
// stand-in transport's arguments, a free loopback port, and the proxy itself,
// started and ended by its pid.
#pragma once

#include <json/json.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "private_bus.h"
#include "standin_manager.h"
#include "test_support.h"

namespace VelkTest {

// A port on 127.0.0.1 that nothing listens on right now.
uint16_t freeLoopbackPort();

// A TCP client of the proxy's listener; -1 when the connection was refused.
int connectLoopback(uint16_t port);
// A client that opens as an RDP client does: connected, its connection
// request sent; -1 when the connection was refused.
int connectRdpClient(uint16_t port);

class ProxyHarness {
public:
    // velkTest of the stand-in manager replies testReply; the bus has the
    // policy given.
    explicit ProxyHarness(const std::string& testReply = "ok", BusPolicy policy = BusPolicy::Package);
    // Ends a proxy that still runs and whatever it started: a test that
    // stops early must not leave transports behind.
    ~ProxyHarness();
    ProxyHarness(const ProxyHarness&) = delete;
    ProxyHarness& operator=(const ProxyHarness&) = delete;

    // The configuration: listen on a free loopback port, the stand-in
    // transport recording into transportRecord(0), clients that send their
    // connection request only once they are connected.  Change it before
    // start().
    Json::Value config;
    // Put before the proxy's command line (setpriv and its options, say),
    // and variables the proxy is started without. Change them before start().
    std::vector<std::string> launcher;
    std::vector<std::string> unsetEnv;

    void writeConfig() const;
    // Starts velk_proxy and returns once it asked the manager for velkTest,
    // that is once it follows the manager's signals.
    void start(const std::vector<std::string>& extraArgs = {},
               const std::map<std::string, std::string>& env = {});
    // Starts velk_proxy without waiting for anything; arguments as given
    // (the configuration option is not added).
    void launch(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {});
    // Writes the configuration and has the running proxy reload it (SIGHUP):
    // how a value that the start check refuses gets in.
    void reload() const;
    // Sends SIGTERM and returns how the proxy ended.
    ProcessResult stop();

    // The stand-in transport with its record file and mode arguments.
    void useStandinTransport(const std::vector<std::string>& modes,
                             const std::string& recordName = "transport");
    std::filesystem::path recordPath(const std::string& recordName = "transport") const;

    uint16_t port() const { return listenPort; }
    const std::filesystem::path& home() const { return homeDir.path(); }
    std::filesystem::path velkDir() const { return homeDir.path() / ".velk"; }
    const std::filesystem::path& configPath() const { return configFile; }

    // Allows a connection and waits until the proxy listens (true) or
    // reported that it could not (false); nullopt when it said nothing.
    std::optional<bool> allowConnection(uint32_t sessionId, uint32_t samId,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // As allowConnection, asking again while the proxy says nothing: the
    // previous listen job may still be finishing after it handed its client
    // over, and the proxy then drops the allowance as busy, as a manager
    // that asks too early learns.
    std::optional<bool> allowConnectionOnceIdle(uint32_t sessionId, uint32_t samId);

    // Notices of the manager that begin with prefix.
    size_t countNotices(const std::string& prefix) const;
    // The transport pid of the session's last proxySessionConnected notice;
    // -1 when there is none.
    pid_t transportPid(uint32_t sessionId) const;
    // A client of the session, allowed (once the proxy is idle), connected
    // as an RDP client, forwarded and answered by the transport; -1 when
    // any step fails. The caller owns the descriptor.
    int forwardClient(uint32_t sessionId, uint32_t samId = 1);
    // Waits until the manager has been told of one more forwarded connection
    // of the session than `before`.
    bool waitForSessionConnected(uint32_t sessionId, size_t before,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    PrivateBus bus;
    StandinManager manager;
    std::unique_ptr<ChildProcess> proxy;

private:
    TempDir homeDir;
    TempDir filesDir;
    std::filesystem::path configFile;
    uint16_t listenPort;
};

}  // namespace VelkTest
