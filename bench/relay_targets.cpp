// See relay_targets.h.
#include "relay_targets.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

#include "bench_measure.h"
#include "client_io.h"
#include "proxy_harness.h"
#include "standin_bytes.h"

namespace VelkBench {

namespace fs = std::filesystem;
using VelkTest::ChildProcess;
using VelkTest::TempDir;
using namespace std::chrono_literals;

int RelayTarget::connect(const std::string& mode) {
    prepare(mode);
    const int fd = connectNow();
    if (fd < 0 || !VelkTest::sendConnectionRequest(fd)) {
        throw std::runtime_error(std::string(name()) + ": the connection failed");
    }
    awaitReady(fd);
    if (!readTpktPacket(fd, 20s)) {
        throw std::runtime_error(std::string(name()) + ": no answer to the connection request");
    }
    return fd;
}

bool readTpktPacket(int fd, std::chrono::milliseconds timeout) {
    const std::string header = VelkTest::receiveAll(fd, VelkStandin::tpktHeaderSize, timeout);
    if (header.size() != VelkStandin::tpktHeaderSize) {
        return false;
    }
    const size_t rest =
        VelkStandin::tpktLength(reinterpret_cast<const uint8_t*>(header.data())) - header.size();
    return VelkTest::receiveAll(fd, rest, timeout).size() == rest;
}

namespace {

bool isDelayMode(const std::string& mode) {
    return mode.rfind("delay-echo:", 0) == 0;
}

constexpr const char* atPrefix = "at:";

// The socket of an "at:" mode's server; empty for every other mode.
fs::path serverAt(const std::string& mode) {
    return mode.rfind(atPrefix, 0) == 0 ? fs::path(mode.substr(std::strlen(atPrefix))) : fs::path();
}

// Polls every millisecond: the harness's 10 ms steps would show in the
// set-up of many sessions.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Bound is not yet listening: the socket file appears a moment before the
// transport calls listen, and a connection in between is refused.
bool isListening(const fs::path& path) {
    std::ifstream table("/proc/net/unix");
    const std::string wanted = " " + path.string();
    constexpr unsigned long acceptsConnections = 0x10000;
    for (std::string line; std::getline(table, line);) {
        if (line.size() > wanted.size() &&
            line.compare(line.size() - wanted.size(), wanted.size(), wanted) == 0) {
            unsigned long flags = 0;
            if (std::sscanf(line.c_str(), "%*s %*s %*s %lx", &flags) == 1 &&
                (flags & acceptsConnections) != 0) {
                return true;
            }
        }
    }
    return false;
}

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

// A far end of our own at a socket path: the stand-in transport for its
// modes, the delayed-answer transport for "delay-echo:..." (which serves any
// number of connections), or any program taking "/ipc-socket:PATH" alone.
class OwnTransport {
public:
    OwnTransport(fs::path socketPath, const std::string& mode) : path(std::move(socketPath)) {
        const std::string program = isDelayMode(mode) ? RELAY_DELAY_TRANSPORT : VELK_STANDIN_TRANSPORT_BINARY;
        start({program, "/ipc-socket:" + path.string(), "/standin:" + mode});
    }
    OwnTransport(fs::path socketPath, std::vector<std::string> command) : path(std::move(socketPath)) {
        command.push_back("/ipc-socket:" + path.string());
        start(command);
    }
    ~OwnTransport() {
        process->signal(SIGTERM);
        process->wait(10s);
    }
    OwnTransport(const OwnTransport&) = delete;
    OwnTransport& operator=(const OwnTransport&) = delete;

    const fs::path& socketPath() const { return path; }

private:
    void start(const std::vector<std::string>& command) {
        std::error_code ec;
        fs::remove(path, ec);
        process = std::make_unique<ChildProcess>(command);
        if (!waitFor([&] { return fs::is_socket(path, ec) && isListening(path); }, 5s)) {
            throw std::runtime_error("the transport did not listen: " + process->errText());
        }
    }

    fs::path path;
    std::unique_ptr<ChildProcess> process;
};

// Clients of one shared far end (delay-echo, or a server of an "at:" mode,
// which is not ours to start) or each of its own.
class FarEnds {
public:
    explicit FarEnds(const fs::path& directory) : dir(directory) {}

    // The socket a client of `mode` connects to; `ownPath` for a far end of
    // its own (several may run at once when every one has its own path).
    fs::path prepare(const std::string& mode, const fs::path& ownPath) {
        if (fs::path server = serverAt(mode); !server.empty()) {
            pending.reset();
            return server;
        }
        if (isDelayMode(mode)) {
            if (!own.empty()) {
                throw std::runtime_error("a shared far end cannot join clients of their own");
            }
            if (!shared) {
                shared = std::make_unique<OwnTransport>(ownPath, mode);
            }
            pending.reset();
            return shared->socketPath();
        }
        if (shared) {
            throw std::runtime_error("a far end of its own cannot join a shared one");
        }
        pending = std::make_unique<OwnTransport>(ownPath, mode);
        return pending->socketPath();
    }
    void connected(int fd) {
        if (pending) {
            own[fd] = std::move(pending);
        } else {
            ++sharedClients;
        }
    }
    void finish(int fd) {
        close(fd);
        if (own.erase(fd) == 0 && --sharedClients == 0) {
            shared.reset();
        }
    }
    size_t ownCount() const { return own.size(); }

private:
    fs::path dir;
    std::unique_ptr<OwnTransport> shared;
    size_t sharedClients = 0;
    std::unique_ptr<OwnTransport> pending;
    std::map<int, std::unique_ptr<OwnTransport>> own;
};

class Direct : public RelayTarget {
public:
    const char* name() const override { return "DIRECT"; }
    void prepare(const std::string& mode) override {
        pendingPath = farEnds.prepare(mode, dir / ("transport-" + std::to_string(++count)));
    }
    int connectNow() override {
        const int fd = connectUnix(pendingPath);
        if (fd >= 0) {
            farEnds.connected(fd);
        }
        return fd;
    }
    void finish(int fd) override { farEnds.finish(fd); }
    pid_t relayPid() const override { return 0; }

private:
    TempDir dir;
    FarEnds farEnds{dir.path()};
    fs::path pendingPath;
    unsigned count = 0;
};

class Haproxy : public RelayTarget {
public:
    Haproxy() : port(VelkTest::freeLoopbackPort()) {
        std::ofstream cfg(dir / "haproxy.cfg");
        cfg << "global\n  maxconn 256\n  nbthread 1\n"
            << "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 1h\n  timeout server 1h\n"
            << "listen relay\n  bind 127.0.0.1:" << port << "\n  server transport unix@" << backend.string()
            << "\n";
        cfg.close();
        process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/sbin/haproxy", "-db", "-f", (dir / "haproxy.cfg").string()});
        if (!waitFor(
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
    // Its one backend path: a far end of its own serves one client at a time;
    // a server of an "at:" mode is reached through a link there.
    void prepare(const std::string& mode) override {
        if (!isDelayMode(mode) && farEnds.ownCount() > 0) {
            throw std::runtime_error("haproxy: one client of a far end of its own at a time");
        }
        const fs::path farEnd = farEnds.prepare(mode, backend);
        if (farEnd != backend) {
            linkBackend(farEnd);
        }
    }
    int connectNow() override {
        const int fd = VelkTest::connectLoopback(port);
        if (fd >= 0) {
            noDelay(fd);
            farEnds.connected(fd);
        }
        return fd;
    }
    void finish(int fd) override { farEnds.finish(fd); }
    pid_t relayPid() const override { return process->pid(); }

private:
    void linkBackend(const fs::path& server) {
        std::error_code ec;
        if (fs::is_symlink(backend, ec) && fs::read_symlink(backend, ec) == server) {
            return;
        }
        fs::remove(backend, ec);
        fs::create_symlink(server, backend);
    }

    TempDir dir;
    fs::path backend = dir / "transport";
    FarEnds farEnds{dir.path()};
    uint16_t port;
    std::unique_ptr<ChildProcess> process;
};

const char* transportProgram(VelkTransport transport) {
    switch (transport) {
        case VelkTransport::Delay:
            return RELAY_DELAY_TRANSPORT;
        case VelkTransport::Instant:
            return RELAY_INSTANT_TRANSPORT;
        case VelkTransport::Standin:
            break;
    }
    return VELK_STANDIN_TRANSPORT_BINARY;
}

// The transport's mode travels in the session description: the argument
// template takes it from "home".
class Velk : public RelayTarget {
public:
    explicit Velk(const VelkOptions& options) : label(options.name), transport(options.transport) {
        harness.config["debug:level"] = "info";
        if (options.maxSessions > 0) {
            harness.config["listen:max-sessions"] = options.maxSessions;
        }
        Json::Value args(Json::arrayValue);
        args.append("/ipc-socket:%{socket}");
        args.append("/standin:%{home}");
        harness.config["x11rdp:args"] = args;
        harness.config["x11rdp:path"] = transportProgram(options.transport);
        harness.start();
        watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(watch, harness.velkDir().c_str(), IN_OPEN | IN_CREATE);
    }
    ~Velk() override {
        for (auto& [fd, session] : sessions) {
            close(fd);
            if (session.pidfd >= 0) {
                close(session.pidfd);
            }
        }
        harness.stop();
        close(watch);
    }

    const char* name() const override { return label.c_str(); }

    void prepare(const std::string& mode) override {
        pendingSession = ++sessionId;
        const bool echoOfItsOwn = transport == VelkTransport::Standin && !serverAt(mode).empty();
        harness.manager.setSessionInfo(R"({"home": ")" + (echoOfItsOwn ? "echo" : mode) + "\"}");
        allow(pendingSession);
        drainWatch({});
        logOpened.reset();
        socketCreated.reset();
    }
    int connectNow() override {
        const int fd = VelkTest::connectLoopback(harness.port());
        if (fd >= 0) {
            noDelay(fd);
            sessions[fd] = {pendingSession, -1};
        }
        return fd;
    }
    void awaitReady(int fd) override {
        Session& session = sessions.at(fd);
        if (session.pidfd >= 0) {
            return;
        }
        const std::string prefix = "proxySessionConnected " + std::to_string(session.id) + " ";
        const auto notice = harness.manager.waitForNotice(prefix, 10s);
        if (!notice) {
            throw std::runtime_error("velk_proxy did not connect session " + std::to_string(session.id));
        }
        const auto pid = static_cast<pid_t>(std::stol(notice->substr(prefix.size())));
        session.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    }
    void finish(int fd) override {
        awaitReady(fd);
        const int pidfd = sessions.at(fd).pidfd;
        sessions.erase(fd);
        close(fd);
        // The sweep ends the transport; the next connection must not meet it.
        if (pidfd >= 0) {
            pollfd gone{pidfd, POLLIN, 0};
            poll(&gone, 1, 10000);
            close(pidfd);
        }
    }
    int watchFd() const override { return watch; }
    void watchReadable(Clock::time_point now) override { drainWatch(now); }
    std::optional<SetupParts> lastSetupParts(Clock::time_point connected,
                                             Clock::time_point answered) override {
        drainWatch(answered);
        if (!logOpened || !socketCreated) {
            return std::nullopt;
        }
        return SetupParts{micros(*logOpened - connected), micros(*socketCreated - *logOpened),
                          micros(answered - *socketCreated)};
    }
    pid_t relayPid() const override { return harness.proxy->pid(); }

private:
    struct Session {
        uint32_t id = 0;
        int pidfd = -1;  // the transport's, once the session is connected
    };

    // The proxy drops an allowance that comes while its previous listen job
    // is still finishing, without a word: ask again after a short wait.
    void allow(uint32_t session) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (harness.allowConnection(session, 1, 1s) == true) {
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        throw std::runtime_error("velk_proxy did not listen for session " + std::to_string(session));
    }

    // Notes the moments the transport's log was opened and its socket
    // created; a null time only empties the queue.
    void drainWatch(std::optional<Clock::time_point> now) {
        alignas(inotify_event) std::array<char, 4096> buffer{};
        ssize_t count = 0;
        while ((count = read(watch, buffer.data(), buffer.size())) > 0) {
            for (ssize_t offset = 0; offset < count;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const std::string file = event->len > 0 ? event->name : "";
                if (!now) {
                    continue;
                }
                if ((event->mask & IN_OPEN) != 0 && file.rfind("rdp_transport_", 0) == 0 && !logOpened) {
                    logOpened = now;
                } else if ((event->mask & IN_CREATE) != 0 && file.rfind("proxy_", 0) == 0 && !socketCreated) {
                    socketCreated = now;
                }
            }
        }
    }

    std::string label;
    VelkTransport transport;
    VelkTest::ProxyHarness harness;
    uint32_t sessionId = 0;
    uint32_t pendingSession = 0;
    std::map<int, Session> sessions;
    int watch = -1;
    std::optional<Clock::time_point> logOpened;
    std::optional<Clock::time_point> socketCreated;
};

}  // namespace

struct EchoServer::Running {
    TempDir dir;
    OwnTransport server{dir.path() / "echo", std::vector<std::string>{RELAY_ECHO_SERVER}};
};

EchoServer::EchoServer() : running(std::make_unique<Running>()) {}
EchoServer::~EchoServer() = default;

std::string EchoServer::mode() const {
    return atPrefix + running->server.socketPath().string();
}

std::unique_ptr<RelayTarget> makeDirect() {
    return std::make_unique<Direct>();
}
std::unique_ptr<RelayTarget> makeHaproxy() {
    return std::make_unique<Haproxy>();
}
std::unique_ptr<RelayTarget> makeVelk(const VelkOptions& options) {
    return std::make_unique<Velk>(options);
}

}  // namespace VelkBench
