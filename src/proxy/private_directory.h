// The proxy's per-user directory holds the transport sockets, the SAM files
// with the user's NTLM hash and the transports' logs: it must be the user's
// alone, and nothing another user planted there may be followed or reused.
#pragma once

#include <filesystem>
#include <string>

namespace Velk {

// The proxy's home: HOME when it is set, else the account's home; never a
// shared directory such as /tmp, where other users could plant files. Its
// ".velk" is the per-user directory.
std::filesystem::path proxyHome();

// Creates the directory 0700 when missing; then, opened without following a
// link, it must be a directory owned by the effective user that nobody else
// may write (group and other access is taken away when the user owns it).
// False, after an error line, when it is not.
bool ensurePrivateDirectory(const std::string& path);

// Creates the file at path for the owner alone with content; a leftover at
// that path (of any kind, a link included) is removed first and never
// opened. False when the file could not be written whole.
bool writePrivateFile(const std::string& path, const std::string& content);

}  // namespace Velk
