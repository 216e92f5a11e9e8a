// Writes the stand-in transport's record; see record_file.h.
#include "record_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace VelkStandin {

RecordFile::RecordFile(const std::string& path) {
    if (path.empty()) {
        return;
    }
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot open record file " + path + ": " + std::strerror(errno));
    }
}

RecordFile::~RecordFile() {
    if (fd >= 0) {
        close(fd);
    }
}

void RecordFile::write(const std::string& line) const {
    if (fd < 0) {
        return;
    }
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error(std::string("cannot write the record: ") + std::strerror(errno));
    }
}

void RecordFile::writeStart(int argc, const char* const* argv, const char* const* envp) const {
    for (int index = 0; index < argc; ++index) {
        write(std::string("argv ") + argv[index]);
    }
    for (const char* const* entry = envp; *entry; ++entry) {
        write(std::string("env ") + *entry);
    }
}

}  // namespace VelkStandin
