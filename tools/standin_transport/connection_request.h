// The RDP handshake's first step as the stand-in takes it: the client's
// connection request is read whole and, unless the stand-in is to stay
// silent, answered with a connection confirm. Neither counts among the bytes
// served afterwards.
#pragma once

namespace VelkStandin {

// The stop signal that came first, or 0 once the request was taken; throws
// when the connection ends or opens with anything but a TPKT packet.
int takeConnectionRequest(int connection, int stopFd, bool answer);

}  // namespace VelkStandin
