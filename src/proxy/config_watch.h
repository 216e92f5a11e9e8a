// The configuration file watched with inotify on its directory, so that an
// editor's rewrite, a rename over it (sed -i, mv, dpkg, configuration
// management) and a removal are all seen the moment they happen, and
// nothing is looked at while nothing changes.
#pragma once

#include <string>

#include "utils/unique_fd.h"

namespace Velk {

class ConfigWatch {
public:
    // -1 as fd() (after a warning) when the directory cannot be watched.
    explicit ConfigWatch(const std::string& configPath);

    // Readable while changes wait to be taken.
    int fd() const { return notify.get(); }
    // Takes every change waiting; true when one was the file's.
    bool takeChanges();

private:
    void watchDirectory();

    std::string directory;
    std::string name;
    Utils::UniqueFd notify;
};

}  // namespace Velk
