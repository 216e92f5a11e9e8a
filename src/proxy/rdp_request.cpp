// See rdp_request.h. The layout is that of ITU-T T.123 (TPKT) and X.224:
// version, reserved, big-endian packet length; then the TPDU's length
// indicator (the header bytes after it) and its code.
#include "proxy/rdp_request.h"

namespace Velk {

namespace {

constexpr uint8_t tpktVersion = 3;
constexpr size_t tpktHeader = 4;
constexpr uint8_t connectionRequestCode = 0xE0;
// Code, destination and source reference, class: the fixed part of the
// request's header after its length indicator.
constexpr uint8_t minimumHeader = 6;

}  // namespace

bool isConnectionRequest(const uint8_t* bytes, size_t size) {
    if (size < connectionRequestPrefix || bytes[0] != tpktVersion || bytes[1] != 0) {
        return false;
    }
    const size_t packetLength = static_cast<size_t>(bytes[2]) << 8U | bytes[3];
    const uint8_t headerLength = bytes[4];
    return headerLength >= minimumHeader && tpktHeader + 1 + headerLength <= packetLength &&
           bytes[5] == connectionRequestCode;
}

}  // namespace Velk
