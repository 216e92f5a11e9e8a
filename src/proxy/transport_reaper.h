// Transports told to stop, held until they have ended: each is reaped
// through its pidfd the moment it ends, killed when it outlives the grace
// after its SIGTERM, and its files (socket, SAM file) are removed after its
// end, so that no new connection is given a name the old transport still
// has. Nothing here waits but the end of the proxy: the loop that owns it
// watches fd() and calls onReady().
#pragma once

#include <chrono>
#include <list>
#include <mutex>
#include <string>

#include "utils/held_process.h"
#include "utils/unique_fd.h"

namespace Velk {

// The files a transport's connection leaves: its socket and the SAM file.
struct JobFiles {
    std::string socketPath;
    std::string samPath;
};

}  // namespace Velk

namespace Velk {

class TransportReaper {
public:
    // From SIGTERM to SIGKILL.
    static constexpr std::chrono::seconds grace{5};
    // A transport whose peer ended the session reads everything and the end
    // first: SIGTERM only comes this much later, should it still run.
    static constexpr std::chrono::seconds drain{1};

    // Throws std::system_error when no epoll set or timer can be made.
    TransportReaper();
    // Waits for every transport still held, killing those that outlive
    // their grace: the proxy's last step.
    ~TransportReaper();
    TransportReaper(const TransportReaper&) = delete;
    TransportReaper& operator=(const TransportReaper&) = delete;

    // From any thread: the transport is held (one that ended already is
    // reaped at the next onReady) with the files to remove after its end:
    // the SAM file, and the socket when it is one (another file at its path
    // is not the transport's). SIGTERM comes at once, or after the drain
    // when its connection ended by itself.
    void retire(Utils::HeldProcess transport, JobFiles files, bool connectionEnded = false);

    // Readable while a transport has ended or outlived its grace.
    int fd() const { return epollFd.get(); }
    // Reaps the transports that ended, removing their files, and kills the
    // ones past their grace.
    void onReady();

    // Whether the file belongs to a transport still held.
    bool holdsFile(const std::string& path) const;
    size_t holding() const;

private:
    struct Retired {
        Utils::HeldProcess process;
        JobFiles files;
        // When the next signal is due: SIGTERM while it was not sent, SIGKILL
        // after.
        std::chrono::steady_clock::time_point signalAt;
        bool terminated = false;
        bool killed = false;
    };

    void reapEnded();
    void signalOverdue(std::chrono::steady_clock::time_point now);
    void armTimer();

    Utils::UniqueFd epollFd;
    Utils::UniqueFd timerFd;
    mutable std::mutex lock;
    std::list<Retired> retired;
};

}  // namespace Velk
