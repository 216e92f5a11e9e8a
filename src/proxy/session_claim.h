// Which allowances a proxy serves, and what of a session's description it
// will put into a file or a transport's argument. The manager signals every
// allowance to every user's proxy on the host: a proxy of an ordinary user
// takes only the sessions whose description names that user.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "config.h"

namespace Velk {

enum class Claim { Ours, OtherUser, NoUser };

// Whose session the description is for the proxy's user (uid, name): ours
// when it names the user ("uid", "username" or both) and nobody else.
Claim claimSession(const JsonConfig& session, uid_t uid, const std::string& userName);
const char* claimText(Claim claim);

// The first value of the description that goes into the SAM file, the
// transport's arguments or its environment and holds a control character
// (a newline in "ntlm" would add a line to the SAM file); nothing when
// there is none.
std::optional<std::string> unsafeSessionValue(const JsonConfig& session);

}  // namespace Velk
