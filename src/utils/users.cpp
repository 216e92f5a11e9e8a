// Reentrant account look-ups and the privilege drop used by child processes
// and by the proxy's entry.
#include "utils/users.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "logger.h"

namespace Velk {

namespace {

std::string fromNullable(const char* text) {
    return text ? std::string(text) : std::string();
}

std::vector<uint32_t> supplementaryGroups(const char* user, gid_t gid) {
    int count = 0;
    getgrouplist(user, gid, nullptr, &count);
    if (count < 1) {
        return {};
    }
    std::vector<gid_t> groups(static_cast<size_t>(count), gid);
    if (getgrouplist(user, gid, groups.data(), &count) < 0 && count > static_cast<int>(groups.size())) {
        // The membership grew between the two calls; keep what the second call filled.
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<size_t>(count));
    return {groups.begin(), groups.end()};
}

// The look-ups report through their result code; errno is only a fallback.
int lookupError(int result) {
    return result != 0 ? result : errno;
}

size_t bufferSize(int sysconfName, size_t fallback) {
    const long size = sysconf(sysconfName);
    return size > 0 ? static_cast<size_t>(size) : fallback;
}

// One passwd look-up through a reentrant call; key names the account in the
// warning of a failure.
template <typename Lookup>
std::unique_ptr<UserInfo> lookUpAccount(Lookup lookup, bool withGroups, const char* function,
                                        const char* call, const std::string& key) {
    std::vector<char> buffer(bufferSize(_SC_GETPW_R_SIZE_MAX, 16384), 0);
    struct passwd entry {};
    struct passwd* found = nullptr;
    errno = 0;
    const int result = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (result == 0 && found) {
        return std::make_unique<UserInfo>(entry, withGroups);
    }
    if (result == 0) {
        // No such account: the call itself worked, so errno says nothing.
        Syslog::warning("%s: %s failed, %s, error: no such account", function, call, key.c_str());
        return nullptr;
    }
    Syslog::warning("%s: %s failed, %s, error: %s, code: %d", function, call, key.c_str(), strerror(result),
                    result);
    return nullptr;
}

}  // namespace

UserInfo::UserInfo(const struct passwd& entry, bool withGroups)
    : user(fromNullable(entry.pw_name)),
      home(fromNullable(entry.pw_dir)),
      shell(fromNullable(entry.pw_shell)),
      gecos(fromNullable(entry.pw_gecos)),
      uid(entry.pw_uid),
      gid(entry.pw_gid) {
    if (withGroups && entry.pw_name) {
        groups = supplementaryGroups(entry.pw_name, entry.pw_gid);
    }
}

GroupInfo::GroupInfo(const struct group& entry, bool withMembers)
    : name(fromNullable(entry.gr_name)), gid(entry.gr_gid) {
    if (withMembers && entry.gr_mem) {
        for (char** member = entry.gr_mem; *member; ++member) {
            members.emplace_back(*member);
        }
    }
}

ShadowInfo::ShadowInfo(const struct spwd& entry)
    : name(entry.sp_namp ? entry.sp_namp : "not found"),
      lastChange(entry.sp_lstchg),
      minDays(entry.sp_min),
      maxDays(entry.sp_max),
      warnDays(entry.sp_warn),
      inactiveDays(entry.sp_inact),
      expire(entry.sp_expire) {}

namespace Utils {

std::unique_ptr<UserInfo> getUserInfo(std::string_view user, bool withGroups) {
    if (user.empty()) {
        return nullptr;
    }
    const std::string name(user);
    return lookUpAccount(
        [&name](passwd* entry, char* buffer, size_t size, passwd** found) {
            return getpwnam_r(name.c_str(), entry, buffer, size, found);
        },
        withGroups, "getUserInfo", "getpwnam_r", "user: `" + name + "'");
}

std::unique_ptr<UserInfo> getUserInfoById(uid_t uid, bool withGroups) {
    return lookUpAccount([uid](passwd* entry, char* buffer, size_t size,
                               passwd** found) { return getpwuid_r(uid, entry, buffer, size, found); },
                         withGroups, "getUserInfoById", "getpwuid_r", "uid: " + std::to_string(uid));
}

std::unique_ptr<GroupInfo> getGroupInfo(std::string_view group, bool withMembers) {
    if (group.empty()) {
        return nullptr;
    }
    const std::string name(group);
    std::vector<char> buffer(bufferSize(_SC_GETGR_R_SIZE_MAX, 16384), 0);
    struct group entry {};
    struct group* found = nullptr;
    errno = 0;
    const int result = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (result == 0 && found) {
        return std::make_unique<GroupInfo>(entry, withMembers);
    }
    const int code = lookupError(result);
    Syslog::warning("%s: %s failed, group: `%s', error: %s, code: %d", "getGroupInfo", "getgrnam_r",
                    name.c_str(), strerror(code), code);
    return nullptr;
}

std::unique_ptr<ShadowInfo> getShadowInfo(std::string_view user) {
    if (user.empty()) {
        return nullptr;
    }
    const std::string name(user);
    std::vector<char> buffer(bufferSize(_SC_LOGIN_NAME_MAX, 256) + 328, 0);
    struct spwd entry {};
    struct spwd* found = nullptr;
    errno = 0;
    const int result = getspnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (result == 0 && found) {
        return std::make_unique<ShadowInfo>(entry);
    }
    const int code = lookupError(result);
    Syslog::warning("%s: %s failed, user: `%s', error: %s, code: %d", "getShadowInfo", "getspnam_r",
                    name.c_str(), strerror(code), code);
    return nullptr;
}

uint32_t getUserUid(std::string_view user) {
    const auto info = getUserInfo(user, false);
    return info ? info->uid : 0;
}

uint32_t getGroupGid(std::string_view group) {
    const auto info = getGroupInfo(group, false);
    return info ? info->gid : 0;
}

std::list<std::string> getGroupMembers(std::string_view group) {
    auto info = getGroupInfo(group, true);
    return info ? std::move(info->members) : std::list<std::string>();
}

bool switchToUser(const UserInfo& info) {
    Syslog::debug("%s: user: %s, uid: %d, gid: %d, home: %s", "switchToUser", info.user.c_str(),
                  static_cast<int>(info.uid), static_cast<int>(info.gid), info.home.c_str());

    if (info.user == "root" || info.uid == 0) {
        return true;
    }

    if (!info.groups.empty()) {
        const std::vector<gid_t> groups(info.groups.begin(), info.groups.end());
        if (setgroups(groups.size(), groups.data()) != 0) {
            Syslog::warning("%s: %s failed, error: %s, code: %d", "switchToUser", "setgroups",
                            strerror(errno), errno);
        }
    } else {
        Syslog::warning("%s: empty groups, username: `%s'", "switchToUser", info.user.c_str());
    }

    if (chdir(info.home.c_str()) != 0) {
        Syslog::warning("%s: %s failed, error: %s, code: %d", "switchToUser", "chdir", strerror(errno),
                        errno);
    }

    if (setgid(info.gid) != 0) {
        Syslog::error("%s: %s failed, error: %s, code: %d", "switchToUser", "setgid", strerror(errno), errno);
        return false;
    }

    if (setuid(info.uid) != 0) {
        Syslog::error("%s: %s failed, error: %s, code: %d", "switchToUser", "setuid", strerror(errno), errno);
        return false;
    }

    setenv("USER", info.user.c_str(), 1);
    setenv("LOGNAME", info.user.c_str(), 1);
    setenv("HOME", info.home.c_str(), 1);
    setenv("SHELL", info.shell.c_str(), 1);
    setenv("TERM", "linux", 1);
    return true;
}

bool holdsIdentityOf(const UserInfo& info) {
    uid_t ruid = 0;
    uid_t euid = 0;
    uid_t suid = 0;
    gid_t rgid = 0;
    gid_t egid = 0;
    gid_t sgid = 0;
    if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0) {
        return false;
    }
    const bool ids = ruid == info.uid && euid == info.uid && suid == info.uid && rgid == info.gid &&
                     egid == info.gid && sgid == info.gid;
    const int count = getgroups(0, nullptr);
    if (!ids || count < 0) {
        return false;
    }
    std::vector<gid_t> held(static_cast<size_t>(count));
    if (getgroups(count, held.data()) != count) {
        return false;
    }
    std::vector<gid_t> expected(info.groups.begin(), info.groups.end());
    std::sort(held.begin(), held.end());
    std::sort(expected.begin(), expected.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    return held == expected;
}

bool setOwner(std::string_view path, std::string_view user, std::string_view group) {
    const std::string pathText(path);
    const std::string userText(user);
    const std::string groupText(group);
    Syslog::debug("%s: path: %s, user: %s, group: %s", "setOwner", pathText.c_str(), userText.c_str(),
                  groupText.empty() ? "skipped" : groupText.c_str());

    const auto info = getUserInfo(user, false);
    if (!info) {
        return false;
    }
    const gid_t gid = group.empty() ? info->gid : getGroupGid(group);
    if (chown(pathText.c_str(), info->uid, gid) != 0) {
        Syslog::error("%s: %s failed, error: %s, code: %d", "setOwner", "chown", strerror(errno), errno);
        return false;
    }
    return true;
}

}  // namespace Utils
}  // namespace Velk
