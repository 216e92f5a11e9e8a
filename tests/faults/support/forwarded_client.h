// A TCP client that the proxy forwards to a transport, as the proxy fault,
// load and security tests make them: allowed by the stand-in manager,
// accepted, connected, with the pid of its transport.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "process_watch.h"
#include "proxy_harness.h"

namespace VelkTest {

struct ForwardedClient {
    int fd = -1;  // -1 when the connection was not forwarded
    pid_t transport = -1;
};

// The caller owns the descriptor.
ForwardedClient forwardClient(ProxyHarness& harness, uint32_t sessionId, uint32_t samId = 1);

// What the proxy holds once no connection is left: no transport, no socket
// or SAM file; nullopt when that state does not come within the time-out.
std::optional<Holdings> settledHoldings(const ProxyHarness& harness);

}  // namespace VelkTest
