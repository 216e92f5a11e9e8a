// Reads the control FIFO; see control_fifo.h.
#include "control_fifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace VelkStandin {

ControlFifo::ControlFifo(const std::string& path) {
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot create control FIFO " + path + ": " + std::strerror(errno));
    }
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot open control FIFO " + path + ": " + std::strerror(errno));
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        close(fd);
        throw std::runtime_error("control path is not a FIFO: " + path);
    }
}

ControlFifo::~ControlFifo() {
    close(fd);
}

std::vector<std::string> ControlFifo::readLines() {
    // A read of 0 only means that no writer holds the FIFO open right now;
    // the next writer to open it is read through the same descriptor.
    char chunk[4096];
    ssize_t count = 0;
    while ((count = read(fd, chunk, sizeof(chunk))) > 0) {
        partialLine.append(chunk, static_cast<size_t>(count));
    }
    std::vector<std::string> lines;
    size_t end = 0;
    while ((end = partialLine.find('\n')) != std::string::npos) {
        lines.push_back(partialLine.substr(0, end));
        partialLine.erase(0, end + 1);
    }
    return lines;
}

}  // namespace VelkStandin
