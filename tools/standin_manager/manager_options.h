// Command line of the stand-in session manager: where the session description
// comes from, what the service test answers, and the files it shares with the
// test or demo that drives it.
#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace VelkStandin {

struct ManagerOptions {
    std::string sessionInfoPath;  // read at every call; the built-in description while it is missing
    std::string testReply = "ok";
    std::string password;     // empty: the descriptions' own credentials
    std::string noticesPath;  // empty: nothing is recorded
    std::string controlPath;  // empty: no control channel
    std::string readyPath;    // empty: readiness is not announced
    bool helpRequested = false;
};

// Returns nullopt after writing the reason to err when the command line is wrong.
std::optional<ManagerOptions> parseManagerOptions(int argc, const char* const* argv, std::ostream& err);

void writeManagerUsage(const char* program, std::ostream& out);

}  // namespace VelkStandin
