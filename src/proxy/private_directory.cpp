// See private_directory.h.
#include "proxy/private_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "logger.h"
#include "utils/unique_fd.h"
#include "utils/users.h"

namespace Velk {

namespace {

bool refuse(const std::string& path, const char* reason) {
    Syslog::error("%s: %s, path: `%s'", "ensurePrivateDirectory", reason, path.c_str());
    return false;
}

bool systemCallFailed(const char* function, const char* call) {
    Syslog::error("%s: %s failed, error: %s, code: %d", function, call, strerror(errno), errno);
    return false;
}

}  // namespace

std::filesystem::path proxyHome() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    const auto account = Utils::getUserInfoById(geteuid());
    return account ? account->home : std::string();
}

bool ensurePrivateDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return systemCallFailed("ensurePrivateDirectory", "mkdir");
    }
    const Utils::UniqueFd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) {
        return errno == ENOTDIR || errno == ELOOP ? refuse(path, "not a directory")
                                                  : systemCallFailed("ensurePrivateDirectory", "open");
    }
    struct stat st {};
    if (fstat(dir.get(), &st) != 0) {
        return systemCallFailed("ensurePrivateDirectory", "fstat");
    }
    if (st.st_uid != geteuid()) {
        return refuse(path, "directory of another user");
    }
    if ((st.st_mode & 077) != 0 && fchmod(dir.get(), 0700) != 0) {
        return systemCallFailed("ensurePrivateDirectory", "fchmod");
    }
    return true;
}

bool writePrivateFile(const std::string& path, const std::string& content) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        return systemCallFailed("writePrivateFile", "unlink");
    }
    const Utils::UniqueFd file(
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!file.valid()) {
        return systemCallFailed("writePrivateFile", "open");
    }
    return write(file.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size());
}

}  // namespace Velk
