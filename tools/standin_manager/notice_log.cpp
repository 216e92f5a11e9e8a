// Appends the stand-in manager's notices; see notice_log.h.
#include "notice_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace VelkStandin {

NoticeLog::NoticeLog(const std::string& path) {
    if (path.empty()) {
        return;
    }
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot open notices file " + path + ": " + std::strerror(errno));
    }
}

NoticeLog::~NoticeLog() {
    if (fd >= 0) {
        close(fd);
    }
}

void NoticeLog::record(const std::string& line) const {
    if (fd < 0) {
        return;
    }
    // One write per line: a reader never sees half a line from us.
    const std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error(std::string("cannot write notice: ") + std::strerror(errno));
    }
}

}  // namespace VelkStandin
