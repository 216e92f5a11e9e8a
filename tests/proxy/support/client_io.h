// What a test's TCP client of the proxy does with its socket: open as an
// RDP client, exchange bytes with an echo without either side filling up,
// send or read everything, and tell a closed connection from a live one.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace VelkTest {

// Sends all of `data` while reading `expected` bytes back, so neither side
// of a relay that echoes can fill up.  Returns what was read.
std::string exchange(int fd, const std::string& data, size_t expected);

// Sends everything, blocking as the descriptor does; false when the peer
// has gone or the send failed.
bool sendAll(int fd, const char* data, size_t size);
bool sendAll(int fd, const std::string& bytes);

// Reads until the peer closes or `limit` bytes arrived; a quiet time of
// `idle` ends it too.
std::string receiveAll(int fd, size_t limit, std::chrono::milliseconds idle = std::chrono::seconds(20));

// Sends what an RDP client sends first, its connection request.
bool sendConnectionRequest(int fd);
// Reads the transport's answer to the connection request (the stand-in's
// connection confirm); false when none came within the time-out.
bool readConnectionConfirm(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// True once the peer has closed the connection (end of stream or reset),
// waiting up to the time-out; bytes that arrive meanwhile are dropped.
bool peerClosed(int fd, std::chrono::milliseconds timeout);

}  // namespace VelkTest
