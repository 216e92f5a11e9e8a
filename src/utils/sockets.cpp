// Socket set-up on TCP (IPv4 and IPv6) and unix stream sockets, and the exact-length
// transfer loops.
#include "utils/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "logger.h"

namespace Velk::Socket {

namespace {

constexpr size_t unixPathMax = sizeof(sockaddr_un::sun_path) - 1;

void logFailed(const char* func, const char* call) {
    const int error = errno;
    Syslog::error("%s: %s failed, error: %s, code: %d", func, call, strerror(error), error);
}

// Logs the failed call, closes the descriptor and gives -1.
int failClose(const char* func, const char* call, int fd) {
    logFailed(func, call);
    close(fd);
    return -1;
}

sockaddr_un unixAddress(const char* func, std::string_view path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;

    size_t length = path.size();
    if (length > unixPathMax) {
        Syslog::warning("%s: unix path is long, truncated to size: %d", func, static_cast<int>(unixPathMax));
        length = unixPathMax;
    }
    std::memcpy(addr.sun_path, path.data(), length);
    return addr;
}

}  // namespace

namespace {

// Text that is meant as a numeric address is never sent to a name service:
// a mistyped address fails at once instead of becoming a host-name lookup.
bool looksNumeric(const std::string& text) {
    return text.find_first_not_of("0123456789.") == std::string::npos ||
           (text.find(':') != std::string::npos &&
            text.find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos);
}

bool isHostName(const std::string& text) {
    constexpr size_t longestName = 253;
    constexpr size_t longestLabel = 63;
    if (text.empty() || text.size() > longestName) {
        return false;
    }
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('.', start), text.size());
        const std::string label = text.substr(start, end - start);
        const bool wellFormed =
            !label.empty() && label.size() <= longestLabel && label.front() != '-' && label.back() != '-' &&
            label.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") ==
                std::string::npos;
        if (!wellFormed) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

struct AddressList {
    addrinfo* first = nullptr;
    AddressList() = default;
    ~AddressList() {
        if (first) {
            freeaddrinfo(first);
        }
    }
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
};

bool resolveListenAddress(const std::string& text, uint16_t port, AddressList& list) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV | (looksNumeric(text) ? AI_NUMERICHOST : 0);
    const std::string service = std::to_string(port);
    const int result = getaddrinfo(text.c_str(), service.c_str(), &hints, &list.first);
    if (result != 0) {
        Syslog::error("%s: %s failed, address: %s, port: %u, error: %s, code: %d", "tcpListen", "getaddrinfo",
                      text.c_str(), static_cast<unsigned>(port), gai_strerror(result), result);
        return false;
    }
    return true;
}

// Where one socket binds. v6Only: 1 or 0 sets IPV6_V6ONLY, -1 leaves the
// kernel's default. familyLabel, when set, is named in a failure's line.
struct BindRequest {
    const sockaddr* addr;
    socklen_t length;
    int v6Only;
    const std::string& text;
    uint16_t port;
    const char* familyLabel;
};

void logBindFailed(const BindRequest& request) {
    const int error = errno;
    const unsigned port = request.port;
    if (request.familyLabel) {
        Syslog::error("%s: %s failed, address: %s, port: %u, family: %s, error: %s, code: %d", "tcpListen",
                      "bind", request.text.c_str(), port, request.familyLabel, strerror(error), error);
    } else {
        Syslog::error("%s: %s failed, address: %s, port: %u, error: %s, code: %d", "tcpListen", "bind",
                      request.text.c_str(), port, strerror(error), error);
    }
}

// A close-on-exec TCP socket bound as asked, SO_REUSEADDR set; -1 after an
// error line.
int bindTcp(const BindRequest& request) {
    const int fd = socket(request.addr->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        logFailed("tcpListen", "socket");
        return -1;
    }
    const int reuse = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) < 0) {
        const int error = errno;
        Syslog::warning("%s: socket reuseaddr failed, error: %s, code: %d", "tcpListen", strerror(error),
                        error);
    }
    if (request.v6Only >= 0) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &request.v6Only, sizeof(request.v6Only));
    }
    Syslog::debug("%s: bind addr: %s, port: %d", "tcpListen", request.text.c_str(),
                  static_cast<int>(request.port));
    if (bind(fd, request.addr, request.length) != 0) {
        logBindFailed(request);
        close(fd);
        return -1;
    }
    return fd;
}

// "::" alone listens on both families; a v4-mapped peer is then shown as IPv4.
int bothFamiliesOf(const addrinfo& address) {
    if (address.ai_family != AF_INET6) {
        return -1;
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address.ai_addr);
    return IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr) ? 0 : -1;
}

bool hostHasIpv6() {
    const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    close(probe);
    return true;
}

ListenAddress wildcardOf(int family, uint16_t port) {
    ListenAddress address;
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address.addr);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
        address.length = sizeof(sockaddr_in);
        address.text = "0.0.0.0";
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address.addr);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        v6.sin6_addr = in6addr_any;
        address.length = sizeof(sockaddr_in6);
        address.v6Only = true;
        address.text = "::";
    }
    return address;
}

}  // namespace

int tcpListen(std::string_view ipaddr, uint16_t port, int backlog) {
    const std::string addrText(ipaddr);
    AddressList addresses;
    if (!resolveListenAddress(addrText, port, addresses)) {
        return -1;
    }
    const addrinfo& address = *addresses.first;
    const int fd =
        bindTcp({address.ai_addr, address.ai_addrlen, bothFamiliesOf(address), addrText, port, nullptr});
    if (fd < 0) {
        return -1;
    }
    Syslog::debug("%s: listen: %d, conn: %d", "tcpListen", fd, backlog);
    if (listen(fd, backlog) != 0) {
        return failClose("tcpListen", "listen", fd);
    }
    return fd;
}

bool isListenAddressText(std::string_view text) {
    const std::string address(text);
    if (!looksNumeric(address)) {
        return isHostName(address);
    }
    in6_addr parsed{};
    return inet_pton(AF_INET, address.c_str(), &parsed) == 1 ||
           inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
}

const char* ListenAddress::family() const {
    return addr.ss_family == AF_INET6 ? "IPv6" : "IPv4";
}

std::vector<ListenAddress> listenAddresses(std::string_view ipaddr, uint16_t port) {
    const std::string text(ipaddr);
    if (text == "0.0.0.0" || text == "::") {
        std::vector<ListenAddress> both{wildcardOf(AF_INET, port)};
        if (hostHasIpv6()) {
            both.push_back(wildcardOf(AF_INET6, port));
        }
        return both;
    }
    AddressList resolved;
    if (!resolveListenAddress(text, port, resolved)) {
        return {};
    }
    ListenAddress address;
    std::memcpy(&address.addr, resolved.first->ai_addr, resolved.first->ai_addrlen);
    address.length = resolved.first->ai_addrlen;
    address.text = text;
    return {address};
}

int tcpBind(const ListenAddress& address) {
    const uint16_t port = ntohs(address.addr.ss_family == AF_INET6
                                    ? reinterpret_cast<const sockaddr_in6&>(address.addr).sin6_port
                                    : reinterpret_cast<const sockaddr_in&>(address.addr).sin_port);
    return bindTcp({reinterpret_cast<const sockaddr*>(&address.addr), address.length, address.v6Only ? 1 : -1,
                    address.text, port, address.family()});
}

int tcpConnect(std::string_view ipaddr, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        logFailed("tcpConnect", "socket");
        return -1;
    }

    const std::string addrText(ipaddr);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr(addrText.c_str());
    addr.sin_port = htons(port);

    Syslog::debug("%s: ipaddr: %s, port: %u", "tcpConnect", addrText.c_str(), static_cast<unsigned>(port));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        return failClose("tcpConnect", "connect", fd);
    }

    Syslog::debug("%s: fd: %d", "tcpConnect", fd);
    return fd;
}

namespace {

// Dotted text for IPv4 and for an IPv4 peer of a listener on both families.
std::string addressText(const sockaddr_storage& addr) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof(text));
        return text;
    }
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof(text));
    } else {
        inet_ntop(AF_INET6, &v6, text, sizeof(text));
    }
    return text;
}

uint16_t portOf(const sockaddr_storage& addr) {
    return ntohs(addr.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(addr).sin_port
                                           : reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
}

}  // namespace

int tcpAccept(int fd, std::string* peer, uint16_t* peerPort) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    const int sock = accept(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    if (sock < 0) {
        // A listener that does not block has nobody waiting: no failure.
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            logFailed("tcpAccept", "accept");
        }
        return -1;
    }
    if (peer) {
        peer->assign(addressText(addr));
    }
    if (peerPort) {
        *peerPort = portOf(addr);
    }
    return sock;
}

int unixListen(std::string_view path, int backlog) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        logFailed("unixListen", "socket");
        return -1;
    }

    const sockaddr_un addr = unixAddress("unixListen", path);
    Syslog::debug("%s: bind path: %s", "unixListen", addr.sun_path);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        return failClose("unixListen", "bind", fd);
    }

    Syslog::debug("%s: listen: %d, conn: %d", "unixListen", fd, backlog);
    if (listen(fd, backlog) != 0) {
        return failClose("unixListen", "listen", fd);
    }
    return fd;
}

namespace {

// A socket that is not there yet, or bound but not yet listening, is only an
// error when the caller will not try again.
int connectUnix(const char* func, std::string_view path, bool quietWhileStarting) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        logFailed(func, "socket");
        return -1;
    }

    const sockaddr_un addr = unixAddress(func, path);
    Syslog::debug("%s: path: %s", func, addr.sun_path);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (quietWhileStarting && (errno == ECONNREFUSED || errno == ENOENT)) {
            const int refused = errno;
            close(fd);
            errno = refused;
            return -1;
        }
        return failClose(func, "connect", fd);
    }

    Syslog::debug("%s: fd: %d", func, fd);
    return fd;
}

}  // namespace

int unixConnect(std::string_view path) {
    return connectUnix("unixConnect", path, false);
}

int unixTryConnect(std::string_view path) {
    return connectUnix("unixTryConnect", path, true);
}

int unixAccept(int fd) {
    const int sock = accept(fd, nullptr, nullptr);
    if (sock < 0) {
        logFailed("unixAccept", "accept");
        return -1;
    }
    return sock;
}

namespace {

// A non-blocking descriptor that is not ready yet: sleep in poll until it is
// (or something happens to it) instead of spinning on EAGAIN.
void waitUntilReady(int fd, short events) {
    pollfd entry{fd, events, 0};
    while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
    }
}

// Moves exactly len bytes with repeated calls of step (a recv or a send of
// what is left); the end of the stream and failures throw velk_error(func).
template <typename Step>
void moveExactly(int fd, ssize_t len, const char* func, const char* call, short waitFor, Step step) {
    ssize_t done = 0;
    while (done < len) {
        const ssize_t real = step(done, static_cast<size_t>(len - done));
        if (real > 0) {
            done += real;
            continue;
        }
        if (real == 0) {
            Syslog::warning("%s: %s", func, "end stream");
            throw velk_error(func);
        }
        if (errno == EAGAIN) {
            waitUntilReady(fd, waitFor);
        } else if (errno != EINTR) {
            logFailed(func, call);
            throw velk_error(func);
        }
    }
}

}  // namespace

void recvRaw(int fd, void* ptr, ssize_t len) {
    auto* bytes = static_cast<uint8_t*>(ptr);
    moveExactly(fd, len, "recvRaw", "recv", POLLIN,
                [&](ssize_t done, size_t left) { return recv(fd, bytes + done, left, 0); });
}

void sendRaw(int fd, const void* ptr, ssize_t len) {
    const auto* bytes = static_cast<const uint8_t*>(ptr);
    moveExactly(fd, len, "sendRaw", "send", POLLOUT,
                [&](ssize_t done, size_t left) { return send(fd, bytes + done, left, MSG_NOSIGNAL); });
}

uint16_t recvInt16(int fd) {
    uint16_t value = 0;
    recvRaw(fd, &value, sizeof(value));
    return value;
}

uint32_t recvInt32(int fd) {
    uint32_t value = 0;
    recvRaw(fd, &value, sizeof(value));
    return value;
}

uint64_t recvInt64(int fd) {
    uint64_t value = 0;
    recvRaw(fd, &value, sizeof(value));
    return value;
}

std::vector<uint8_t> recvData(int fd, size_t len) {
    std::vector<uint8_t> data(len, 0);
    if (len > 0) {
        recvRaw(fd, data.data(), static_cast<ssize_t>(len));
    }
    return data;
}

}  // namespace Velk::Socket
