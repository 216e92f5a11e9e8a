// How an RDP client opens a connection: its first bytes are a TPKT packet
// (version 3) holding an X.224 Connection Request. Only such a client may
// take an allowed session; anything else at the port (a port scan, an HTTP
// probe, garbage) is not one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Velk {

// The bytes that tell a connection request apart: the TPKT header, the
// X.224 length indicator and the TPDU code.
constexpr size_t connectionRequestPrefix = 6;

// True when the first connectionRequestPrefix bytes begin a connection
// request: TPKT version 3, a packet length that holds the X.224 header it
// announces, and the Connection Request code (0xE0).
bool isConnectionRequest(const uint8_t* bytes, size_t size);

}  // namespace Velk
