// Asking a running proxy what it does: a unix socket in the user's ~/.velk
// (mode 0600 in the private directory, so only the user and root reach it)
// that answers each connection with one JSON object and closes it. The
// proxy's side serves it from its main loop; `velk_proxy --status` asks.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "utils/unique_fd.h"

namespace Velk {

// The socket's path in a ~/.velk.
std::string statusSocketPath(const std::string& velkDirectory);

class StatusSocket {
public:
    // Listens at the path; a socket left by a proxy that is gone is
    // replaced, one that a running proxy of the user answers on is left to
    // it (fd() is then -1, after a warning).
    StatusSocket(std::string path, std::function<std::string()> report);
    ~StatusSocket();
    StatusSocket(const StatusSocket&) = delete;
    StatusSocket& operator=(const StatusSocket&) = delete;

    int fd() const { return listener.get(); }
    // Answers everyone waiting.
    void answer() const;

private:
    std::string path;
    std::function<std::string()> report;
    Utils::UniqueFd listener;
};

// The running proxy's answer at the path, after checking that the
// directory and the socket are the calling user's; nothing, with the reason
// in `why`, when no proxy answers.
std::optional<std::string> askStatus(const std::string& velkDirectory, std::string& why);

}  // namespace Velk
