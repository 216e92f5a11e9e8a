// See status_socket.h.
#include "proxy/status_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "logger.h"
#include "utils/sockets.h"

namespace Velk {

namespace {

constexpr int answersAtOnce = 8;

void writeWhole(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t sent = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) {
            return;
        }
        done += static_cast<size_t>(sent);
    }
}

// The user's own, and nobody else's to write or replace.
bool ownedByCaller(const std::string& path, mode_t type) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type && st.st_uid == geteuid() &&
           (st.st_mode & 077) == 0;
}

}  // namespace

std::string statusSocketPath(const std::string& velkDirectory) {
    return (std::filesystem::path(velkDirectory) / "status").string();
}

StatusSocket::StatusSocket(std::string socketPath, std::function<std::string()> makeReport)
    : path(std::move(socketPath)), report(std::move(makeReport)) {
    if (const Utils::UniqueFd running(Socket::unixTryConnect(path)); running.valid()) {
        Syslog::warning("%s: another proxy of this user answers at `%s', this one gives no status",
                        "StatusSocket", path.c_str());
        return;
    }
    unlink(path.c_str());
    const mode_t previous = umask(077);
    listener.reset(Socket::unixListen(path, answersAtOnce));
    umask(previous);
    if (listener.valid()) {
        fcntl(listener.get(), F_SETFL, O_NONBLOCK);
    }
}

StatusSocket::~StatusSocket() {
    if (listener.valid()) {
        unlink(path.c_str());
    }
}

void StatusSocket::answer() const {
    while (true) {
        const Utils::UniqueFd asker(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!asker.valid()) {
            return;
        }
        writeWhole(asker.get(), report());
    }
}

std::optional<std::string> askStatus(const std::string& velkDirectory, std::string& why) {
    const std::string path = statusSocketPath(velkDirectory);
    if (!ownedByCaller(velkDirectory, S_IFDIR) || !ownedByCaller(path, S_IFSOCK)) {
        why = "no status socket of this user at " + path;
        return std::nullopt;
    }
    const Utils::UniqueFd proxy(Socket::unixTryConnect(path));
    if (!proxy.valid()) {
        why = "no proxy answers at " + path;
        return std::nullopt;
    }
    std::string answer;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = recv(proxy.get(), chunk, sizeof(chunk), 0)) > 0) {
        answer.append(chunk, static_cast<size_t>(got));
    }
    return answer;
}

}  // namespace Velk
