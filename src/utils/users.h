// Account look-ups in the system databases, copied into records that own their
// strings, and the one ordered sequence by which a process becomes a user.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/types.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Velk {

struct UserInfo {
    std::vector<uint32_t> groups;  // supplementary groups, primary included, filled on request
    std::string user;
    std::string home;
    std::string shell;
    std::string gecos;
    uint32_t uid = 0;
    uint32_t gid = 0;

    UserInfo(const struct passwd& entry, bool withGroups);
};

struct GroupInfo {
    std::list<std::string> members;  // filled on request
    std::string name;
    uint32_t gid = 0;

    GroupInfo(const struct group& entry, bool withMembers);
};

struct ShadowInfo {
    std::string name;
    long lastChange = 0;
    long minDays = 0;
    long maxDays = 0;
    long warnDays = 0;
    long inactiveDays = 0;
    long expire = 0;

    explicit ShadowInfo(const struct spwd& entry);
};

namespace Utils {

// A missing entry or a failed look-up gives a null pointer (after a warning,
// except for an empty name).
std::unique_ptr<UserInfo> getUserInfo(std::string_view user, bool withGroups = false);
// The account of a uid, as getUserInfo.
std::unique_ptr<UserInfo> getUserInfoById(uid_t uid, bool withGroups = false);
std::unique_ptr<GroupInfo> getGroupInfo(std::string_view group, bool withMembers = false);
std::unique_ptr<ShadowInfo> getShadowInfo(std::string_view user);

// 0 when there is no such account: callers cannot tell it from root.
uint32_t getUserUid(std::string_view user);
uint32_t getGroupGid(std::string_view group);
std::list<std::string> getGroupMembers(std::string_view group);

// Groups and working directory are best effort; gid and uid are essential.
// Root (by name or uid 0) needs no switch and changes nothing.
bool switchToUser(const UserInfo& info);

// True when every id of the process (real, effective and saved uid and gid)
// is the user's and its supplementary groups are exactly info.groups: what a
// switch must have achieved before the process may act for the user.
bool holdsIdentityOf(const UserInfo& info);

// chown to the user and its primary group, or to the named group (0 when the
// group does not exist).
bool setOwner(std::string_view path, std::string_view user, std::string_view group);

}  // namespace Utils
}  // namespace Velk
