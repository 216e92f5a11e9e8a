// Answers and records the proxy's calls; see manager_service.h.
#include "manager_service.h"

#include <fstream>
#include <sstream>

namespace VelkStandin {

namespace {

constexpr const char* objectPath = "/ru/tavio/velk";
constexpr const char* failureName = "ru.tavio.velk.Error.Failed";

// What a plain session on display :0 looks like when a test sets nothing.
constexpr const char* builtInSessionInfo =
    R"({"display": 0, "xauthfile": "", "home": "", "username": "", "uid": 0, )"
    R"("sec:rdp": false, "sec:nla": false, "sec:tls": false, "sec:auth": true})";

std::string withArguments(const std::string& method, const std::string& arguments) {
    return arguments.empty() ? method : method + " " + arguments;
}

}  // namespace

ManagerService::ManagerService(DBus::Connection& bus, const std::string& sessionInfoPath_,
                               const std::string& testReply_, const NoticeLog& notices_)
    : DBus::ObjectAdaptor(bus, objectPath),
      sessionInfoPath(sessionInfoPath_),
      testReply(testReply_),
      notices(notices_) {}

bool ManagerService::isMethod(const std::string& name) {
    static const std::set<std::string> methods = {"velkTest", "velkSessionInfoJson", "proxyListenStarted",
                                                  "proxyClientConnected", "proxySessionConnected"};
    return methods.count(name) > 0;
}

void ManagerService::setFailing(const std::string& method, bool failing) {
    if (failing) {
        failingMethods.insert(method);
    } else {
        failingMethods.erase(method);
    }
}

void ManagerService::answer(const std::string& method, const std::string& arguments) {
    if (failingMethods.count(method) == 0) {
        notices.record(withArguments(method, arguments));
        return;
    }
    notices.record(withArguments(method, arguments) + " [error]");
    // dbus-c++ turns this into the error reply of the call. The error keeps
    // the pointers it is given, so both texts must be literals.
    throw DBus::Error(failureName, "the method fails on request");
}

std::string ManagerService::sessionInfo() const {
    std::ifstream file(sessionInfoPath, std::ios::binary);
    if (sessionInfoPath.empty() || !file) {
        return builtInSessionInfo;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string ManagerService::velkTest() {
    answer("velkTest", "");
    return testReply;
}

std::string ManagerService::velkSessionInfoJson(const uint32_t& sessionId) {
    answer("velkSessionInfoJson", std::to_string(sessionId));
    return sessionInfo();
}

void ManagerService::proxyListenStarted(const uint32_t& sessionId, const bool& listening) {
    answer("proxyListenStarted", std::to_string(sessionId) + (listening ? " true" : " false"));
}

void ManagerService::proxyClientConnected(const uint32_t& sessionId, const std::string& remoteAddr) {
    answer("proxyClientConnected", std::to_string(sessionId) + " " + remoteAddr);
}

void ManagerService::proxySessionConnected(const uint32_t& sessionId, const uint32_t& transportPid,
                                           const std::string& remoteAddr) {
    answer("proxySessionConnected",
           std::to_string(sessionId) + " " + std::to_string(transportPid) + " " + remoteAddr);
}

}  // namespace VelkStandin
