// What a test needs to check the stand-in transport: its record read back
// (arguments, environment, what it received and sent) and the same checksum
// and byte pattern that the transport uses.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace VelkTest {

struct TransportRecord {
    std::vector<std::string> argv;         // argv[0] included
    std::vector<std::string> environment;  // "NAME=VALUE"
    // "listening", "accepted", "stopped by signal N", ..., in order.
    std::vector<std::string> events;
    // Set once the connection's service has ended.
    std::optional<uint64_t> receivedBytes;
    std::optional<uint64_t> receivedChecksum;
    std::optional<uint64_t> sentBytes;

    bool hasEvent(const std::string& event) const;
};

TransportRecord readTransportRecord(const std::filesystem::path& path);

// The checksum the transport reports for these bytes.
uint64_t transportChecksum(const std::string& bytes);

// size bytes of the pattern the transport sends, starting at offset.
std::string transportPattern(uint64_t offset, size_t size);

}  // namespace VelkTest
