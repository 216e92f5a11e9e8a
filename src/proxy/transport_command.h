// What the RDP transport of one client is started with: the program, its
// arguments and environment and its log file's name, built from the proxy's
// configuration and the session's description. Nothing here writes a file
// or starts a process.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "config.h"

namespace Velk {

// The configured transport, else the first installed one, with a warning;
// throws velk_error("requestRdpTransport") when there is none.
std::string chooseTransportProgram(const JsonConfig& cfg);

// What an argument template may hold: "%{socket}", "%{display}",
// "%{authfile}", "%{home}".
const std::vector<std::string>& argumentPlaceholders();
// The program "x11rdp:path" names when given, else the default; and the
// installed ones tried, in order, when it does not exist.
std::string configuredTransportProgram(const JsonConfig& cfg);
const std::vector<std::string>& fallbackTransportPrograms();

// The system's own build is given the keytab and the log level.
bool isOwnTransportBuild(const std::string& program);

// The argument list; samFile is the written SAM file, empty when none was
// written, so that "/sam-file:" names only a file that exists.
std::list<std::string> transportArguments(const JsonConfig& cfg, const std::string& socketPath,
                                          const std::string& samFile, const JsonConfig& session,
                                          bool ownBuild);

std::list<std::string> transportEnvironment(const JsonConfig& cfg, const JsonConfig& session);

// rdp_transport_<uid>_<index>.log
std::string transportLogName(const JsonConfig& session, uint64_t index);

// The arguments as one line for the log.
std::string joinArguments(const std::list<std::string>& args);

}  // namespace Velk
