// How processes of one desktop session find each other and its resources:
// process-id marker files under $HOME/.velk, the X display number and
// authority cookie, the mount table, waits for files and sockets, and two
// readiness tests on descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Velk::Utils {

// The marker is $HOME/.velk/<name>; the directory is not created.  Saving and
// waiting log an error without HOME; removing is silent.  Status queries and
// removal use the throwing file-system calls: a failure other than absence
// raises std::filesystem::filesystem_error.
// Writes getpid() in decimal, no newline; a file that cannot be opened is not written.
void saveSessionPidFor(std::string_view name);
// Tests every 100 ms for up to 60 s (the first test before any sleep); the
// content is not read.
bool waitSessionPidFor(std::string_view name);
void removeSessionPidFor(std::string_view name);

// The cookie (data field) of the first entry of the X authority file.  An
// unreadable file gives an empty vector after an error; reads past the end
// leave zeros (an empty file gives an empty vector silently).
std::vector<uint8_t> readXauthfile(std::string_view path);

// The number after the last ":" of DISPLAY (":10.0" gives 10); -1 when there is none.
int displayNumber();

// True when the path is, byte for byte, a mount point in /proc/mounts.
bool isMountedPoint(std::string_view path);

// Tests every 100 ms whether a socket exists at the path, the first test before
// any sleep; false after the given seconds, without a message.
bool waitSocketSec(std::string_view path, uint32_t seconds);

// Readable within the time-out (milliseconds; negative waits without limit).
// End of file counts as readable; a hang-up or error alone does not.  A
// negative descriptor gives false.  A failed poll throws velk_error("hasInput").
bool hasInput(int fd, int timeoutMs);

// Bytes waiting to be read (FIONREAD), never negative; 0 for a negative
// descriptor.  A failed ioctl throws velk_error("hasData").
int hasData(int fd);

// At most 256 characters; "localhost" when gethostname fails.
std::string getHostname();

}  // namespace Velk::Utils
