// Silent logging, invariant checks and the per-process scratch file.
#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "logger.h"

namespace VelkFuzz {

void silenceLogging() {
    Velk::Syslog::setDebugLevel(Velk::DebugLevel::Quiet);
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken invariant: %s\n", what);
        std::abort();
    }
}

ScratchFile::ScratchFile(const char* name)
    : filePath((std::filesystem::temp_directory_path() /
                (std::string("velk_fuzz_") + name + "." + std::to_string(getpid())))
                   .string()) {}

ScratchFile::~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(filePath, ignored);
}

const std::string& ScratchFile::write(const uint8_t* data, size_t size) const {
    std::ofstream stream(filePath, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    require(stream.good(), "the scratch file takes the input");
    return filePath;
}

}  // namespace VelkFuzz
