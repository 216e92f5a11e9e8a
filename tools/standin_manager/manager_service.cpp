// Answers and records the proxy's calls; see manager_service.h.
#include "manager_service.h"

#include <dbus/dbus.h>
#include <json/json.h>
#include <pwd.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "ntlm_hash.h"

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

std::optional<Json::Value> parsedObject(const std::string& text) {
    Json::Value value;
    std::istringstream in(text);
    Json::CharReaderBuilder builder;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &value, &errors) || !value.isObject()) {
        return std::nullopt;
    }
    return value;
}

// The owner a description names: its "uid", else its "username"'s account.
std::optional<uid_t> ownerOf(const std::string& description) {
    const auto value = parsedObject(description);
    if (!value) {
        return std::nullopt;
    }
    if ((*value)["uid"].isIntegral()) {
        return static_cast<uid_t>((*value)["uid"].asInt64());
    }
    if ((*value)["username"].isString()) {
        if (const passwd* account = getpwnam((*value)["username"].asCString())) {
            return account->pw_uid;
        }
    }
    return std::nullopt;
}

uid_t callerUid(DBus::Connection& bus, const char* sender) {
    DBus::CallMessage ask(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetConnectionUnixUser");
    DBus::MessageIter arguments = ask.writer();
    arguments << std::string(sender ? sender : "");
    const DBus::Message reply = bus.send_blocking(ask);
    uint32_t uid = 0;
    DBus::MessageIter replyArguments = reply.reader();
    replyArguments >> uid;
    return uid;
}

// A description with the credentials of the password added: NLA on, the SAM
// entry of its user.
std::string withCredentials(const std::string& description, const std::string& password) {
    auto value = parsedObject(description);
    if (password.empty() || !value || !(*value)["username"].isString() ||
        (*value)["username"].asString().empty()) {
        return description;
    }
    (*value)["sec:nla"] = true;
    (*value)["ntlm"] = samEntry((*value)["username"].asString(), password);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, *value);
}

}  // namespace

ManagerService::ManagerService(DBus::Connection& bus_, const std::string& sessionInfoPath_,
                               const std::string& testReply_, const std::string& password_,
                               const NoticeLog& notices_)
    : DBus::ObjectAdaptor(bus_, objectPath),
      bus(bus_),
      sessionInfoPath(sessionInfoPath_),
      testReply(testReply_),
      password(password_),
      notices(notices_) {
    guardSessionMethods();
}

void ManagerService::guardSessionMethods() {
    for (auto& [name, slot] : ru::tavio::velk_adaptor::_methods) {
        if (name == "velkTest") {
            continue;
        }
        sessionMethods.emplace(name, slot);
        slot = new DBus::Callback<ManagerService, DBus::Message, const DBus::CallMessage&>(
            this, &ManagerService::guardedCall);
    }
}

// Every guarded method takes the session id first.
DBus::Message ManagerService::guardedCall(const DBus::CallMessage& call) {
    const std::string method = call.member();
    DBus::MessageIter arguments = call.reader();
    uint32_t sessionId = 0;
    arguments >> sessionId;
    if (silentMethods.count(method) > 0) {
        notices.record(withArguments(method, std::to_string(sessionId)) + " [unanswered]");
        // The reply waits for a continuation nobody ever returns.
        return_later(&unanswered);
    }
    const uid_t caller = callerUid(bus, call.sender());
    if (caller != 0 && ownerOf(sessionInfo(sessionId)) != caller) {
        notices.record(withArguments(method, std::to_string(sessionId)) + " [denied uid " +
                       std::to_string(caller) + "]");
        return DBus::ErrorMessage(call, DBUS_ERROR_ACCESS_DENIED, "the session is neither yours nor root's");
    }
    return sessionMethods.at(method).call(call);
}

void ManagerService::setSilent(const std::string& method, bool silent) {
    if (silent) {
        silentMethods.insert(method);
    } else {
        silentMethods.erase(method);
    }
}

void ManagerService::setSessionInfo(uint32_t sessionId, const std::string& json) {
    sessionInfos[sessionId] = json;
}

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

std::string ManagerService::sessionInfo(uint32_t sessionId) const {
    if (const auto own = sessionInfos.find(sessionId); own != sessionInfos.end()) {
        return withCredentials(own->second, password);
    }
    std::ifstream file(sessionInfoPath, std::ios::binary);
    if (sessionInfoPath.empty() || !file) {
        return builtInSessionInfo;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return withCredentials(text.str(), password);
}

std::string ManagerService::velkTest() {
    answer("velkTest", "");
    return testReply;
}

std::string ManagerService::velkSessionInfoJson(const uint32_t& sessionId) {
    answer("velkSessionInfoJson", std::to_string(sessionId));
    return sessionInfo(sessionId);
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
