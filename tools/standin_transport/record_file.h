// The stand-in transport's record: how it was started and what happened to
// its connection, one line per fact, written through at once so that a test
// can read it while the transport runs.
#pragma once

#include <string>

namespace VelkStandin {

class RecordFile {
public:
    // An empty path gives a record that keeps nothing; the file is truncated.
    explicit RecordFile(const std::string& path);
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    void write(const std::string& line) const;
    // "argv ARG" for every argument, then "env NAME=VALUE" for every variable.
    void writeStart(int argc, const char* const* argv, const char* const* envp) const;

private:
    int fd = -1;
};

}  // namespace VelkStandin
