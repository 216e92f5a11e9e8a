// The NT hash of a password (MD4 of its UTF-16LE form), as the transport's
// SAM file holds it: how the stand-in manager gives a session NLA
// credentials for a password a demo or test chose.
#pragma once

#include <string>

namespace VelkStandin {

// 32 lower-case hex digits. The password is taken as UTF-8; characters
// outside the basic plane are not expected.
std::string ntHash(const std::string& password);

// The SAM file line of a user with that password: "USER:::HASH:::".
std::string samEntry(const std::string& user, const std::string& password);

}  // namespace VelkStandin
