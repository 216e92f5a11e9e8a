// The stand-in transport's end of the IPC socket: it listens at the path the
// proxy chose and accepts the one connection unless a stop signal comes first.
#pragma once

#include <string>

namespace VelkStandin {

// Returns the listening descriptor; throws when the socket cannot be made.
int listenUnix(const std::string& path);

// Returns the accepted connection, or -1 when stopFd became readable first.
int acceptConnection(int listenFd, int stopFd);

}  // namespace VelkStandin
