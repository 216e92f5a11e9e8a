// The stand-in session manager's object on the bus: it answers the proxy's
// calls as the real manager's contract says (a session's description and
// notices about it only to root or the session's owner, the caller's uid
// asked of the bus), records every call, and can be made to answer any
// method with an error.
#pragma once

#include <map>
#include <set>
#include <string>

#include "notice_log.h"
#include "velk_adaptor_glue.h"

namespace VelkStandin {

class ManagerService : public ru::tavio::velk_adaptor,
                       public DBus::IntrospectableAdaptor,
                       public DBus::ObjectAdaptor {
public:
    // A password gives every session that names a user NLA with that
    // user's credentials for it (the SAM entry of its NT hash).
    ManagerService(DBus::Connection& bus, const std::string& sessionInfoPath, const std::string& testReply,
                   const std::string& password, const NoticeLog& notices);

    static bool isMethod(const std::string& name);
    // While failing, the method records its call and replies a D-Bus error.
    void setFailing(const std::string& method, bool failing);
    // While silent, the method records its call and never replies: the
    // caller waits out its time-out.
    void setSilent(const std::string& method, bool silent);
    // The session's own description from now on, instead of the file's.
    void setSessionInfo(uint32_t sessionId, const std::string& json);

    std::string velkTest() override;
    std::string velkSessionInfoJson(const uint32_t& sessionId) override;
    void proxyListenStarted(const uint32_t& sessionId, const bool& listening) override;
    void proxyClientConnected(const uint32_t& sessionId, const std::string& remoteAddr) override;
    void proxySessionConnected(const uint32_t& sessionId, const uint32_t& transportPid,
                               const std::string& remoteAddr) override;

private:
    // Every method about a session runs only for root or the session's
    // owner; others get AccessDenied.
    void guardSessionMethods();
    DBus::Message guardedCall(const DBus::CallMessage& call);
    // Records the call; throws the D-Bus error when the method is failing.
    void answer(const std::string& method, const std::string& arguments);
    std::string sessionInfo(uint32_t sessionId) const;

    DBus::Connection& bus;
    const std::string sessionInfoPath;
    const std::string testReply;
    const std::string password;
    std::map<uint32_t, std::string> sessionInfos;
    std::map<std::string, DBus::Slot<DBus::Message, const DBus::CallMessage&>> sessionMethods;
    const NoticeLog& notices;
    std::set<std::string> failingMethods;
    std::set<std::string> silentMethods;
    DBus::Tag unanswered;
};

}  // namespace VelkStandin
