// What every fuzz target shares: silent logging, a scratch file for the
// readers that take a path, and the stop on a broken invariant that libFuzzer
// reports as a crash with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace VelkFuzz {

// The decoders log every bad input; the journal must not take them all.
void silenceLogging();

// Aborts with the message when the condition does not hold.
void require(bool condition, const char* what);

// One file per fuzzing process, rewritten for every input and removed at exit.
class ScratchFile {
public:
    explicit ScratchFile(const char* name);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // The file now holds exactly these bytes.
    const std::string& write(const uint8_t* data, size_t size) const;
    const std::string& path() const { return filePath; }

private:
    std::string filePath;
};

}  // namespace VelkFuzz
