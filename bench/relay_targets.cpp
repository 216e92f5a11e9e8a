// See relay_targets.h.
#include "relay_targets.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "proxy_harness.h"

namespace VelkBench {

namespace fs = std::filesystem;
using VelkTest::ChildProcess;
using VelkTest::TempDir;
using namespace std::chrono_literals;

namespace {

int connectUnix(const fs::path& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.string().copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void noDelay(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// A stand-in transport of our own at a fixed socket path, one per connection.
class OwnTransport {
public:
    explicit OwnTransport(fs::path socketPath) : path(std::move(socketPath)) {}

    void start(const std::string& mode) {
        std::error_code ec;
        fs::remove(path, ec);
        process = std::make_unique<ChildProcess>(std::vector<std::string>{
            VELK_STANDIN_TRANSPORT_BINARY, "/ipc-socket:" + path.string(), "/standin:" + mode});
        if (!VelkTest::waitUntil([&] { return fs::is_socket(path, ec); }, 5s)) {
            throw std::runtime_error("stand-in transport did not listen");
        }
    }

    void stop() {
        if (process) {
            process->signal(SIGTERM);
            process->wait(10s);
            process.reset();
        }
    }

    const fs::path& socketPath() const { return path; }

private:
    fs::path path;
    std::unique_ptr<ChildProcess> process;
};

class Direct : public RelayTarget {
public:
    const char* name() const override { return "DIRECT"; }
    int connect(const std::string& mode) override {
        transport.start(mode);
        return connectUnix(transport.socketPath());
    }
    void finish(int fd) override {
        close(fd);
        transport.stop();
    }
    pid_t relayPid() const override { return 0; }

private:
    TempDir dir;
    OwnTransport transport{dir / "transport"};
};

class Haproxy : public RelayTarget {
public:
    Haproxy() : port(VelkTest::freeLoopbackPort()) {
        std::ofstream cfg(dir / "haproxy.cfg");
        cfg << "global\n  maxconn 64\n  nbthread 1\n"
            << "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 1h\n  timeout server 1h\n"
            << "listen relay\n  bind 127.0.0.1:" << port << "\n  server transport unix@"
            << transport.socketPath().string() << "\n";
        cfg.close();
        process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/sbin/haproxy", "-db", "-f", (dir / "haproxy.cfg").string()});
        if (!VelkTest::waitUntil(
                [&] {
                    const int fd = VelkTest::connectLoopback(port);
                    if (fd >= 0) {
                        close(fd);
                    }
                    return fd >= 0;
                },
                10s)) {
            throw std::runtime_error("haproxy did not listen: " + process->errText());
        }
    }
    ~Haproxy() override { process->signal(SIGTERM); }

    const char* name() const override { return "haproxy"; }
    int connect(const std::string& mode) override {
        transport.start(mode);
        const int fd = VelkTest::connectLoopback(port);
        noDelay(fd);
        return fd;
    }
    void finish(int fd) override {
        close(fd);
        transport.stop();
    }
    pid_t relayPid() const override { return process->pid(); }

private:
    TempDir dir;
    OwnTransport transport{dir / "transport"};
    uint16_t port;
    std::unique_ptr<ChildProcess> process;
};

// The transport's mode travels in the session description: the argument
// templates take it from "home", the record path from "xauthfile".
class Velk : public RelayTarget {
public:
    Velk() {
        harness.config["debug:level"] = "info";
        Json::Value args(Json::arrayValue);
        args.append("/ipc-socket:%{socket}");
        args.append("/standin:%{home}");
        args.append("/standin-record:%{authfile}");
        harness.config["x11rdp:args"] = args;
        harness.start();
    }
    ~Velk() override { harness.stop(); }

    const char* name() const override { return "velk_proxy"; }
    int connect(const std::string& mode) override {
        const uint32_t session = ++sessionId;
        record = harness.home() / ("record-" + std::to_string(session));
        harness.manager.setSessionInfo(R"({"home": ")" + mode + R"(", "xauthfile": ")" + record.string() +
                                       "\"}");
        if (harness.allowConnection(session, 1) != true) {
            throw std::runtime_error("velk_proxy did not listen");
        }
        const int fd = VelkTest::connectLoopback(harness.port());
        noDelay(fd);
        if (!harness.manager.waitForNotice("proxySessionConnected " + std::to_string(session) + " ", 10s)) {
            throw std::runtime_error("velk_proxy did not connect the session");
        }
        return fd;
    }
    void finish(int fd) override {
        close(fd);
        // The sweep ends the transport; the next connection must not meet it.
        VelkTest::waitUntil(
            [&] { return VelkTest::readFile(record).find("stopped by signal") != std::string::npos; }, 5s);
    }
    pid_t relayPid() const override { return harness.proxy->pid(); }

private:
    VelkTest::ProxyHarness harness;
    uint32_t sessionId = 0;
    fs::path record;
};

}  // namespace

std::unique_ptr<RelayTarget> makeDirect() {
    return std::make_unique<Direct>();
}
std::unique_ptr<RelayTarget> makeHaproxy() {
    return std::make_unique<Haproxy>();
}
std::unique_ptr<RelayTarget> makeVelk() {
    return std::make_unique<Velk>();
}

}  // namespace VelkBench
