// Waiting for the transport's unix socket without looking at the clock: the
// directory is watched with inotify, so the socket is seen the moment it is
// bound; the transport is held by a pidfd, so one that dies is seen at once
// instead of after the whole time-out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "utils/unique_fd.h"

namespace Velk {

enum class SocketWait { Connected, TransportEnded, Stopped, TimedOut, Refused };

struct TransportConnection {
    SocketWait end = SocketWait::TimedOut;
    Utils::UniqueFd fd;  // with Connected
};

// True when a socket is at the path.
bool isSocketFile(const std::string& path);

// One inotify instance for the proxy's life, used by one wait at a time:
// closing one waits for a grace period of the kernel, milliseconds that a
// connection would otherwise spend before its first byte.
class SocketDirectoryWatch {
public:
    // The descriptor that reports what is created in the socket's directory
    // from now on (watched again, as it may have been replaced since); -1,
    // after a warning, when inotify is out of reach.
    int watch(const std::string& socketPath);

private:
    Utils::UniqueFd notify;
};

// Connects to socketPath once the transport has bound it and listens there.
// Stopped when stopRequested says so (looked at whenever one of wakeFds
// becomes readable); TransportEnded when the transport, held by the pidfd
// given (the caller's), ends first, or has ended already; TimedOut when no
// socket appeared in time; Refused when one did but never took the
// connection.
TransportConnection connectTransportSocket(SocketDirectoryWatch& directory, const std::string& socketPath,
                                           int transportPidfd, const std::vector<int>& wakeFds,
                                           const std::function<bool()>& stopRequested,
                                           std::chrono::milliseconds timeout);

}  // namespace Velk
