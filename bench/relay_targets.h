// The relays the benchmark compares, each able to hand out a connected client
// socket whose far end is a stand-in transport in a chosen mode ("echo",
// "sink", "source:<bytes>"): DIRECT (no relay), haproxy in TCP mode, and
// velk_proxy driven by the stand-in manager.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "private_bus.h"
#include "standin_manager.h"
#include "test_support.h"

namespace VelkBench {

class RelayTarget {
public:
    virtual ~RelayTarget() = default;
    virtual const char* name() const = 0;
    // A client socket connected through the relay to a fresh transport.
    virtual int connect(const std::string& mode) = 0;
    // Closes the client and waits until the transport is gone.
    virtual void finish(int fd) = 0;
    // The relay process whose CPU and wake-ups are measured; 0 for none.
    virtual pid_t relayPid() const = 0;
};

std::unique_ptr<RelayTarget> makeDirect();
std::unique_ptr<RelayTarget> makeHaproxy();
std::unique_ptr<RelayTarget> makeVelk();

}  // namespace VelkBench
