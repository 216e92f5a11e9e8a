// See proxy_harness.h.
#include "proxy_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "client_io.h"

namespace VelkTest {

namespace fs = std::filesystem;

uint16_t freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

int connectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connectRdpClient(uint16_t port) {
    const int fd = connectLoopback(port);
    if (fd >= 0 && !sendConnectionRequest(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

ProxyHarness::ProxyHarness(const std::string& testReply, BusPolicy policy)
    : bus(policy),
      manager(bus, testReply),
      configFile(filesDir / "velk_proxy.json"),
      listenPort(freeLoopbackPort()) {
    // Reachable by a test user the proxy may switch to.
    fs::permissions(filesDir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
    config["debug:level"] = "debug";
    config["listen:addr"] = "127.0.0.1";
    config["listen:port"] = listenPort;
    config["listen:timeout"] = 10;
    useStandinTransport({"echo"});
}

void ProxyHarness::useStandinTransport(const std::vector<std::string>& modes, const std::string& recordName) {
    Json::Value args(Json::arrayValue);
    args.append("/ipc-socket:%{socket}");
    for (const auto& mode : modes) {
        args.append("/standin:" + mode);
    }
    args.append("/standin-record:" + recordPath(recordName).string());
    config["x11rdp:path"] = VELK_STANDIN_TRANSPORT_BINARY;
    config["x11rdp:args"] = args;
}

fs::path ProxyHarness::recordPath(const std::string& recordName) const {
    return filesDir / (recordName + ".rec");
}

void ProxyHarness::writeConfig() const {
    Json::StreamWriterBuilder builder;
    std::ofstream out(configFile, std::ios::trunc);
    out << Json::writeString(builder, config);
    out.close();
    fs::permissions(configFile, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                    fs::perms::others_read);
}

void ProxyHarness::start(const std::vector<std::string>& extraArgs,
                         const std::map<std::string, std::string>& env) {
    writeConfig();
    std::vector<std::string> args = {"--config", configFile.string()};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    const size_t before = manager.notices().size();
    launch(args, env);
    const bool asked =
        waitUntil([&] { return manager.notices().size() > before && !manager.notices().empty(); },
                  std::chrono::seconds(10));
    if (!asked || !manager.waitForNotice("velkTest", std::chrono::seconds(1))) {
        throw std::runtime_error("velk_proxy did not call velkTest: " + proxy->errText());
    }
}

void ProxyHarness::reload() const {
    writeConfig();
    proxy->signal(SIGHUP);
}

void ProxyHarness::launch(const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env) {
    std::vector<std::string> argv = launcher;
    argv.emplace_back(VELK_PROXY_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()},
                                                      {"HOME", homeDir.path().string()}};
    for (const auto& [name, value] : env) {
        environment[name] = value;
    }
    for (const auto& name : unsetEnv) {
        environment.erase(name);
    }
    proxy = std::make_unique<ChildProcess>(argv, environment, unsetEnv);
}

namespace {

// The proxy's children, held by pidfd so that a pid used again after its
// process ended is never signalled.
std::vector<int> holdChildren(pid_t parent) {
    std::vector<int> held;
    for (const pid_t child : childrenOf(parent)) {
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
        if (fd >= 0) {
            held.push_back(fd);
        }
    }
    return held;
}

// What a proxy that ended abnormally (a sanitizer report, a SIGKILL) left
// running; after an orderly stop they have all ended already.
void endHeld(const std::vector<int>& held) {
    for (const int fd : held) {
        syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
        close(fd);
    }
}

}  // namespace

ProxyHarness::~ProxyHarness() {
    if (proxy && proxy->running()) {
        const std::vector<int> held = holdChildren(proxy->pid());
        proxy.reset();
        endHeld(held);
    }
}

ProcessResult ProxyHarness::stop() {
    const std::vector<int> held = holdChildren(proxy->pid());
    proxy->signal(SIGTERM);
    auto result = proxy->wait(std::chrono::seconds(20));
    endHeld(held);
    if (!result) {
        throw std::runtime_error("velk_proxy did not end after SIGTERM");
    }
    return *result;
}

size_t ProxyHarness::countNotices(const std::string& prefix) const {
    size_t count = 0;
    for (const auto& line : manager.notices()) {
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

pid_t ProxyHarness::transportPid(uint32_t sessionId) const {
    const std::string prefix = "proxySessionConnected " + std::to_string(sessionId) + " ";
    pid_t pid = -1;
    for (const auto& line : manager.notices()) {
        if (line.rfind(prefix, 0) == 0) {
            pid = static_cast<pid_t>(std::stol(line.substr(prefix.size())));
        }
    }
    return pid;
}

bool ProxyHarness::waitForSessionConnected(uint32_t sessionId, size_t before,
                                           std::chrono::milliseconds timeout) const {
    const std::string prefix = "proxySessionConnected " + std::to_string(sessionId) + " ";
    return waitUntil([&] { return countNotices(prefix) > before; }, timeout);
}

std::optional<bool> ProxyHarness::allowConnection(uint32_t sessionId, uint32_t samId,
                                                  std::chrono::milliseconds timeout) {
    const std::string prefix = "proxyListenStarted " + std::to_string(sessionId) + " ";
    const auto countBefore = [&] { return countNotices(prefix); };
    const size_t before = countBefore();
    manager.emit("signalProxyAllowConnection", {std::to_string(sessionId), std::to_string(samId)});
    if (!waitUntil([&] { return countBefore() > before; }, timeout)) {
        return std::nullopt;
    }
    std::string last;
    for (const auto& line : manager.notices()) {
        if (line.rfind(prefix, 0) == 0) {
            last = line;
        }
    }
    return last == prefix + "true";
}

int ProxyHarness::forwardClient(uint32_t sessionId, uint32_t samId) {
    const size_t before = countNotices("proxySessionConnected " + std::to_string(sessionId) + " ");
    if (allowConnectionOnceIdle(sessionId, samId) != true) {
        return -1;
    }
    const int fd = connectRdpClient(listenPort);
    if (fd >= 0 && (!waitForSessionConnected(sessionId, before) || !readConnectionConfirm(fd))) {
        close(fd);
        return -1;
    }
    return fd;
}

std::optional<bool> ProxyHarness::allowConnectionOnceIdle(uint32_t sessionId, uint32_t samId) {
    std::optional<bool> listening;
    for (int attempt = 0; attempt < 4 && !listening; ++attempt) {
        listening = allowConnection(sessionId, samId, std::chrono::seconds(3));
    }
    return listening;
}

}  // namespace VelkTest
