// Reads the stand-in transport's record; see transport_record.h.
#include "transport_record.h"

#include <algorithm>
#include <sstream>

#include "standin_bytes.h"
#include "test_support.h"

namespace VelkTest {

namespace {

bool takePrefix(const std::string& line, const std::string& prefix, std::string& rest) {
    if (line.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    rest = line.substr(prefix.size());
    return true;
}

void readReceived(const std::string& counts, TransportRecord& record) {
    std::istringstream fields(counts);
    uint64_t bytes = 0;
    uint64_t checksum = 0;
    if (fields >> bytes >> std::hex >> checksum) {
        record.receivedBytes = bytes;
        record.receivedChecksum = checksum;
    }
}

}  // namespace

bool TransportRecord::hasEvent(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
}

TransportRecord readTransportRecord(const std::filesystem::path& path) {
    TransportRecord record;
    std::istringstream text(readFile(path));
    for (std::string line, rest; std::getline(text, line);) {
        if (takePrefix(line, "argv ", rest)) {
            record.argv.push_back(rest);
        } else if (takePrefix(line, "env ", rest)) {
            record.environment.push_back(rest);
        } else if (takePrefix(line, "received ", rest)) {
            readReceived(rest, record);
        } else if (takePrefix(line, "sent ", rest)) {
            record.sentBytes = std::stoull(rest);
        } else {
            record.events.push_back(line);
        }
    }
    return record;
}

uint64_t transportChecksum(const std::string& bytes) {
    VelkStandin::StreamChecksum checksum;
    checksum.add(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return checksum.value();
}

std::string transportPattern(uint64_t offset, size_t size) {
    std::string bytes(size, '\0');
    VelkStandin::fillPattern(offset, reinterpret_cast<uint8_t*>(bytes.data()), size);
    return bytes;
}

}  // namespace VelkTest
