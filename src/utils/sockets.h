// Logged wrappers over the BSD socket calls for TCP and unix stream
// sockets, returning plain descriptors, and exact-length receive and send
// loops that either complete or throw.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Velk::Socket {

// Set-up functions log their failures and return -1; every descriptor opened
// on the failing path is closed.  The caller owns and closes what they return.

// Close-on-exec, SO_REUSEADDR; the address is an IPv4 or IPv6 literal or a
// host name (its first address): "0.0.0.0" is every IPv4 interface, "::"
// every interface of both families. Text made of digits and dots, or hex
// digits and colons, is never looked up as a name. Failures name the address
// and the port.
int tcpListen(std::string_view ipaddr, uint16_t port, int backlog);

// Whether the text can name a listener's address: an IPv4 or IPv6 literal,
// or a well-formed host name (labels of letters, digits and hyphens). Text
// that looks numeric must be a literal: "0.0.0.0.0" is neither.
bool isListenAddressText(std::string_view text);

// One address a listener binds, its port included.
struct ListenAddress {
    sockaddr_storage addr{};
    socklen_t length = 0;
    // The IPv6 wildcard beside the IPv4 one takes IPv6 alone.
    bool v6Only = false;
    std::string text;
    // "IPv4" or "IPv6", for messages.
    const char* family() const;
};

// The addresses of a listener that no other process can share a family of:
// for a wildcard ("0.0.0.0" or "::") the IPv4 and the IPv6 wildcard (the
// IPv4 one alone on a host without IPv6), else the first address of the
// literal or host name.  Empty after an error line.
std::vector<ListenAddress> listenAddresses(std::string_view ipaddr, uint16_t port);
// A close-on-exec TCP socket bound to the address and not yet listening,
// SO_REUSEADDR set (a port whose connections wait out TIME_WAIT binds
// again); -1 after an error line naming the address, port and family.
int tcpBind(const ListenAddress& address);
int tcpConnect(std::string_view ipaddr, uint16_t port);
// The peer's address goes to *peer (dotted for IPv4, also for an IPv4 peer
// of a listener on both families) and its port to *peerPort when given. A
// listener that does not block and has nobody waiting gives -1 (EAGAIN)
// without an error line.
int tcpAccept(int fd, std::string* peer = nullptr, uint16_t* peerPort = nullptr);

// A path longer than 107 bytes is cut to 107 with a warning.  An existing file
// at the path is not removed, so the bind fails on it.
int unixListen(std::string_view path, int backlog);
int unixConnect(std::string_view path);
// As unixConnect, for a socket that may be starting: a socket not there yet
// or not yet listening gives -1 with errno ENOENT or ECONNREFUSED and no
// error line.
int unixTryConnect(std::string_view path);
int unixAccept(int fd);

// Exactly len bytes or velk_error("recvRaw") / velk_error("sendRaw"): a closed
// peer after a warning, any other failure after an error.  EAGAIN and EINTR are
// retried.  A length below 1 does nothing.  sendRaw never raises SIGPIPE.
void recvRaw(int fd, void* ptr, ssize_t len);
void sendRaw(int fd, const void* ptr, ssize_t len);

// Host byte order, no conversion.
uint16_t recvInt16(int fd);
uint32_t recvInt32(int fd);
uint64_t recvInt64(int fd);

// Exactly len bytes (empty without reading for 0).
std::vector<uint8_t> recvData(int fd, size_t len);

}  // namespace Velk::Socket
