// The relays the benchmarks compare, each able to hand out client sockets
// whose far end is a transport in a chosen mode: the stand-in transport's
// "echo", "sink", "source:<bytes>", "delay-echo:<size>:<min us>:<max us>"
// (bench/delay_transport.cpp: every request answered after a random delay),
// or "at:<socket>" (a server already listening there, an EchoServer's).
// DIRECT is no relay: the client talks to the transport's unix socket; haproxy
// runs in TCP mode with that socket as its backend; velk_proxy is driven by
// the stand-in manager on a private bus and starts a transport per session.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "bench_measure.h"

namespace VelkBench {

// When the relay started the far end itself, where the time of a connection's
// set-up went (velk_proxy only): from the client's connect to the transport's
// start (the proxy takes the client, asks the manager, forks), the transport's
// own start (from the moment the child opened its log, just before exec, to
// its socket's creation) and from there to the first bytes back.
struct SetupParts {
    double toTransportStartMicros = 0;
    double transportStartMicros = 0;
    double afterSocketMicros = 0;
};

class RelayTarget {
public:
    virtual ~RelayTarget() = default;
    virtual const char* name() const = 0;

    // A client socket connected through the relay to a fresh far end, ready
    // for traffic either way (for velk_proxy: the session is connected). It
    // opens as an RDP client does, with a connection request, and has taken
    // the far end's answer. Several may be open at once where the target
    // says so.
    int connect(const std::string& mode);
    // Closes the client and waits until its far end is gone (or, for a shared
    // far end, until no client of it is left).
    virtual void finish(int fd) = 0;

    // A connection in two steps, for timing its set-up: prepare does what
    // comes before a client may connect (starts the far end; for velk_proxy
    // the manager's allowance, returning once the proxy listens), connectNow
    // makes the TCP or unix connection and returns at once.
    virtual void prepare(const std::string& mode) = 0;
    virtual int connectNow() = 0;
    // While a set-up is timed, a descriptor to poll beside the client's
    // (-1 for none) and what to call, with the moment, when it is readable:
    // velk_proxy watches its directory for the transport's log and socket.
    virtual int watchFd() const { return -1; }
    virtual void watchReadable(Clock::time_point now) { (void)now; }
    // Of the last connection, made at `connected`, once its first answer came
    // back at `answered` (velk_proxy only; others return nothing).
    virtual std::optional<SetupParts> lastSetupParts(Clock::time_point connected,
                                                     Clock::time_point answered) {
        (void)connected;
        (void)answered;
        return std::nullopt;
    }
    // For a client socket from connectNow, waits until the relay has handed
    // it to its far end (velk_proxy: the manager was told the session is
    // connected); nothing to wait for elsewhere.
    virtual void awaitReady(int fd) { (void)fd; }

    // The relay process whose CPU, wake-ups and memory are measured; 0 for none.
    virtual pid_t relayPid() const = 0;
};

// Reads one TPKT packet, the far end's answer to a client's connection
// request (an echo of it, or a transport's confirm), waiting up to the
// time-out; false when none came.
bool readTpktPacket(int fd, std::chrono::milliseconds timeout);

// The echo server of the set-up suite, started once for the run: it serves
// any number of connections and sends back every byte unchanged.
class EchoServer {
public:
    EchoServer();
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    // The mode whose far end is this server.
    std::string mode() const;

private:
    struct Running;
    std::unique_ptr<Running> running;
};

// The program velk_proxy starts for each session.
enum class VelkTransport {
    // The stand-in transport (tools/standin_transport), which takes an "at:"
    // mode as its own "echo": it cannot reach another server.
    Standin,
    // bench/delay_transport.cpp, for "delay-echo:..." modes.
    Delay,
    // bench/instant_transport.cpp, for "at:..." modes: ready at once, it
    // links the proxy's socket path to the server's socket.
    Instant,
};

struct VelkOptions {
    // "listen:max-sessions"; 0 leaves the proxy's default.
    int maxSessions = 0;
    VelkTransport transport = VelkTransport::Standin;
    // The name in the tables; "velk_proxy" is the one the targets judge.
    std::string name = "velk_proxy";
};

std::unique_ptr<RelayTarget> makeDirect();
std::unique_ptr<RelayTarget> makeHaproxy();
std::unique_ptr<RelayTarget> makeVelk(const VelkOptions& options = {});

}  // namespace VelkBench
