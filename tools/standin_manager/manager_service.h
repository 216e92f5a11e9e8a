// The stand-in session manager's object on the bus: it answers the proxy's
// calls as the real manager's contract says, records every call, and can be
// made to answer any method with an error.
#pragma once

#include <set>
#include <string>

#include "notice_log.h"
#include "velk_adaptor_glue.h"

namespace VelkStandin {

class ManagerService : public ru::tavio::velk_adaptor,
                       public DBus::IntrospectableAdaptor,
                       public DBus::ObjectAdaptor {
public:
    ManagerService(DBus::Connection& bus, const std::string& sessionInfoPath, const std::string& testReply,
                   const NoticeLog& notices);

    static bool isMethod(const std::string& name);
    // While failing, the method records its call and replies a D-Bus error.
    void setFailing(const std::string& method, bool failing);

    std::string velkTest() override;
    std::string velkSessionInfoJson(const uint32_t& sessionId) override;
    void proxyListenStarted(const uint32_t& sessionId, const bool& listening) override;
    void proxyClientConnected(const uint32_t& sessionId, const std::string& remoteAddr) override;
    void proxySessionConnected(const uint32_t& sessionId, const uint32_t& transportPid,
                               const std::string& remoteAddr) override;

private:
    // Records the call; throws the D-Bus error when the method is failing.
    void answer(const std::string& method, const std::string& arguments);
    std::string sessionInfo() const;

    const std::string sessionInfoPath;
    const std::string testReply;
    const NoticeLog& notices;
    std::set<std::string> failingMethods;
};

}  // namespace VelkStandin
