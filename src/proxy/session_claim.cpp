// See session_claim.h.
#include "proxy/session_claim.h"

#include <algorithm>

namespace Velk {

namespace {

// The description's texts that reach a file, an argument or a variable.
constexpr const char* writtenTexts[] = {"ntlm", "username", "xauthfile", "home"};

bool hasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

Claim claimSession(const JsonConfig& session, uid_t uid, const std::string& userName) {
    const bool namesUid = session.hasValue("uid");
    const bool namesUser = session.hasValue("username");
    if (!namesUid && !namesUser) {
        return Claim::NoUser;
    }
    const bool otherUid = namesUid && static_cast<uid_t>(session.getInteger("uid", 0)) != uid;
    const bool otherName = namesUser && session.getString("username", "") != userName;
    return otherUid || otherName ? Claim::OtherUser : Claim::Ours;
}

const char* claimText(Claim claim) {
    switch (claim) {
        case Claim::Ours:
            return "ours";
        case Claim::OtherUser:
            return "session of another user";
        case Claim::NoUser:
            return "description names no user";
    }
    return "";
}

std::optional<std::string> unsafeSessionValue(const JsonConfig& session) {
    for (const char* key : writtenTexts) {
        if (hasControlCharacter(session.getString(key, ""))) {
            return std::string(key);
        }
    }
    return std::nullopt;
}

}  // namespace Velk
