// The commands of the stand-in manager's control channel: emit one of the
// manager's signals, make a method fail or succeed again, or quit.
#pragma once

#include <string>

#include "manager_service.h"

namespace VelkStandin {

enum class CommandResult { Done, Quit };

// Runs one command line on the service. A line that names no command or has
// wrong arguments changes nothing and throws std::invalid_argument.
CommandResult runCommand(ManagerService& service, const std::string& line);

}  // namespace VelkStandin
