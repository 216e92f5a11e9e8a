// ProxyConnection and the sessions' descriptions: whether an allowance is
// this proxy's, and the description a transport is started with, checked
// for what goes into its files and arguments.
#include <unistd.h>

#include "proxy/proxy_connection.h"
#include "proxy/session_claim.h"

namespace Velk {

namespace {

constexpr const char* accessDenied = "org.freedesktop.DBus.Error.AccessDenied";

}  // namespace

// The manager keeps a session from whoever is neither root nor its owner:
// a refusal means the allowance is another user's, not a failure.
std::optional<JsonConfig> ProxyConnection::askSessionDescription(const uint32_t& sessionId) {
    try {
        return JsonConfigString(managerCalls.velkSessionInfoJson(sessionId));
    } catch (const ManagerCallError& err) {
        if (err.name() == accessDenied) {
            debug("%s: not this proxy's, session id: %u, reason: %s", "signalProxyAllowConnection", sessionId,
                  "the manager keeps the session from this user");
        } else {
            warning("%s: no session description, session id: %u, dbus error: %s",
                    "signalProxyAllowConnection", sessionId, err.what());
        }
    } catch (const std::exception& err) {
        warning("%s: no session description, session id: %u, exception: %s", "signalProxyAllowConnection",
                sessionId, err.what());
    }
    return std::nullopt;
}

// Every user's proxy hears every allowance; only the owner's opens anything
// or says anything to the manager. A session of ours with a description
// that cannot be used safely is refused, and the manager is told.
std::optional<JsonConfig> ProxyConnection::claimAllowance(const uint32_t& sessionId) {
    std::optional<JsonConfig> session = askSessionDescription(sessionId);
    if (!session) {
        return std::nullopt;
    }
    try {
        const Claim claim = claimSession(*session, getuid(), userName);
        if (claim != Claim::Ours) {
            debug("%s: not this proxy's, session id: %u, reason: %s", "signalProxyAllowConnection", sessionId,
                  claimText(claim));
            return std::nullopt;
        }
        if (const auto unsafe = unsafeSessionValue(*session)) {
            error("%s: session refused, control character in `%s', session id: %u",
                  "signalProxyAllowConnection", unsafe->c_str(), sessionId);
            managerCalls.proxyListenStarted(sessionId, false);
            return std::nullopt;
        }
    } catch (const std::exception& err) {
        warning("%s: description not usable, session id: %u, exception: %s", "signalProxyAllowConnection",
                sessionId, err.what());
        return std::nullopt;
    }
    return session;
}

JsonConfig ProxyConnection::transportDescription(const uint32_t& sessionId,
                                                 const std::optional<JsonConfig>& description) {
    JsonConfig session =
        description ? *description : JsonConfigString(managerCalls.velkSessionInfoJson(sessionId));
    if (const auto unsafe = unsafeSessionValue(session)) {
        error("%s: session refused, control character in `%s', session id: %u", "requestRdpTransport",
              unsafe->c_str(), sessionId);
        throw velk_error("requestRdpTransport");
    }
    return session;
}

}  // namespace Velk
