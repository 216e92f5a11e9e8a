// See config_watch.h.
#include "proxy/config_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "logger.h"

namespace Velk {

namespace {

// Not its creation, nor a change of its mode: a file written in place is
// whole only once it is closed, and SIGHUP forces a reload.
constexpr uint32_t fileChanges = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
// The directory itself replaced or gone: it is watched anew.
constexpr uint32_t directoryGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;

}  // namespace

ConfigWatch::ConfigWatch(const std::string& configPath)
    : directory(std::filesystem::absolute(configPath).parent_path().string()),
      name(std::filesystem::path(configPath).filename().string()),
      notify(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    watchDirectory();
}

void ConfigWatch::watchDirectory() {
    if (!notify.valid() ||
        inotify_add_watch(notify.get(), directory.c_str(), fileChanges | directoryGone) < 0) {
        Syslog::warning("%s: %s failed, path: `%s', error: %s, code: %d", "ConfigWatch", "inotify",
                        directory.c_str(), strerror(errno), errno);
    }
}

bool ConfigWatch::takeChanges() {
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    bool rewatch = false;
    ssize_t length = 0;
    while ((length = read(notify.get(), buffer, sizeof(buffer))) > 0) {
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            changed =
                changed || (event->len > 0 && name == event->name) || (event->mask & directoryGone) != 0;
            rewatch = rewatch || (event->mask & directoryGone) != 0;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (rewatch) {
        watchDirectory();
    }
    return changed;
}

}  // namespace Velk
