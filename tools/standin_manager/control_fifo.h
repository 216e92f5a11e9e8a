// The stand-in manager's control channel: a FIFO that tests and scripts write
// commands to, one per line, read without blocking so that the bus dispatcher
// never waits for a writer.
#pragma once

#include <string>
#include <vector>

namespace VelkStandin {

class ControlFifo {
public:
    // Creates the FIFO when the path does not exist yet; throws when it cannot be opened.
    explicit ControlFifo(const std::string& path);
    ~ControlFifo();
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;

    // The complete lines written since the last call, without their line ends.
    std::vector<std::string> readLines();

private:
    int fd = -1;
    std::string partialLine;
};

}  // namespace VelkStandin
