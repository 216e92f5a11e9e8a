// The TCP side of the listen job: the listening socket of the configuration
// in force, the wait for the client that speaks first (client_gate.h) and
// the options an accepted client's socket gets. Its lines carry the listen
// job's name, as all of the job's lines do.
#pragma once

#include <cstdint>

#include "config.h"
#include "utils/unique_fd.h"

namespace Velk {

// The listener at "listen:addr" and "listen:port"; none, after an error
// line, when the values are not usable or the socket cannot be opened.
Utils::UniqueFd openClientListener(const JsonConfig& cfg, uint32_t sessionId);

// No Nagle, and keep-alive with a user time-out as the configuration says.
void setClientSocketOptions(int fd, const JsonConfig& cfg);

}  // namespace Velk
