// The transport's command line, environment and log file as ProxyConnection
// builds them, checked in the test process against the stand-in manager and,
// for the environment, against what the stand-in transport really received.
#include <signal.h>
#include <sys/stat.h>

#include <list>
#include <string>

#include "connection_fixture.h"
#include "proxy/rdp_transport.h"
#include "transport_record.h"

namespace {

namespace fs = std::filesystem;
using namespace VelkTest;
using std::chrono::seconds;
using Args = std::list<std::string>;

const std::string ownBuild = "/usr/libexec/velk/freerdp-shadow-cli";

class TransportArguments : public ConnectionFixture {
protected:
    // As the transport's start builds them: the SAM file first, then the
    // arguments, which name it only when it was written.
    Args argumentsFor(const std::string& sessionJson, bool own) {
        const Velk::JsonConfigString session(sessionJson);
        const bool samWritten = Velk::writeSamFile(samPath, session);
        return connection->prepareX11RdpArgs(socketPath, samWritten ? samPath : std::string(), session, own);
    }

    std::string socketPath = (files / "proxy_7_0").string();
    std::string samPath = (files / "sam_3_0").string();
};

TEST_F(TransportArguments, DefaultsGiveTheBuiltInListWithTheLogLevelOnlyForAnOwnBuild) {
    config["debug:level"] = "info";
    makeConnection();
    const Args common = {
        "/ipc-socket:" + socketPath, "/max-connections:1", "-sec-rdp", "-sec-nla", "-sec-tls", "+auth"};
    Args own = common;
    own.emplace_back("/log-level:INFO");
    EXPECT_EQ(argumentsFor("{}", true), own);
    EXPECT_EQ(argumentsFor("{}", false), common);
}

TEST_F(TransportArguments, TemplatesAreReplacedWhereverTheyStand) {
    Json::Value args(Json::arrayValue);
    args.append("/ipc-socket:%{socket}");
    args.append("/name:%{display}-%{display}");
    args.append("/cfg:%{home}/.config/rdp");
    args.append("/xauth:%{authfile}");
    config["x11rdp:args"] = args;
    makeConnection();
    const Args expected = {"/ipc-socket:" + socketPath,
                           "/name:12-12",
                           "/cfg:/home/ann/.config/rdp",
                           "/xauth:/run/ann/auth",
                           "-sec-rdp",
                           "-sec-nla",
                           "-sec-tls",
                           "+auth"};
    EXPECT_EQ(argumentsFor(R"({"display": 12, "home": "/home/ann", "xauthfile": "/run/ann/auth"})", false),
              expected);
}

TEST_F(TransportArguments, SecuritySwitchesFollowTheSessionAndTheSamFileIsOwnerOnly) {
    makeConnection();
    const Args expected = {"/ipc-socket:" + socketPath,
                           "/max-connections:1",
                           "+sec-rdp",
                           "+sec-nla",
                           "/sam-file:" + samPath,
                           "+sec-tls"};
    EXPECT_EQ(argumentsFor(R"({"sec:rdp": true, "sec:nla": true, "ntlm": "ann:::hash:::", "sec:tls": true,
                               "sec:auth": false})",
                           false),
              expected);
    EXPECT_EQ(readFile(samPath), "ann:::hash:::\n");
    struct stat st {};
    ASSERT_EQ(stat(samPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
}

TEST_F(TransportArguments, NlaWithoutAHashWritesNoSamFile) {
    makeConnection();
    const Args args = argumentsFor(R"({"sec:nla": true})", false);
    EXPECT_EQ(args, (Args{"/ipc-socket:" + socketPath, "/max-connections:1", "-sec-rdp", "+sec-nla",
                          "-sec-tls", "+auth"}));
    EXPECT_FALSE(fs::exists(samPath));
}

TEST_F(TransportArguments, AnUnwritableSamFileOnlyLeavesItsArgumentOut) {
    makeConnection();
    samPath = (files / "no-such-dir" / "sam_3_0").string();
    const Args args = argumentsFor(R"({"sec:nla": true, "ntlm": "x"})", false);
    EXPECT_EQ(args, (Args{"/ipc-socket:" + socketPath, "/max-connections:1", "-sec-rdp", "+sec-nla",
                          "-sec-tls", "+auth"}));
}

TEST_F(TransportArguments, AKeytabIsPassedToAnOwnBuildOnlyAndAMissingOneIsWarnedAbout) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    const std::string keytab = (files / "krb5.keytab").string();
    writeFile(keytab, "k");
    config["kerberos:keytab"] = keytab;
    makeConnection();
    const Args own = argumentsFor("{}", true);
    EXPECT_NE(std::find(own.begin(), own.end(), "/keytab:" + keytab), own.end());
    const Args other = argumentsFor("{}", false);
    EXPECT_EQ(std::find_if(other.begin(), other.end(),
                           [](const std::string& arg) { return arg.rfind("/keytab:", 0) == 0; }),
              other.end());

    fs::remove(keytab);
    const Args missing = argumentsFor("{}", true);
    EXPECT_EQ(std::find_if(missing.begin(), missing.end(),
                           [](const std::string& arg) { return arg.rfind("/keytab:", 0) == 0; }),
              missing.end());
    EXPECT_EQ(journal.messages("keytab not exists", 1),
              std::vector<std::string>{"prepareX11RdpArgs: keytab not exists, path: `" + keytab + "'"});
}

TEST_F(TransportArguments, TheTransportLogLevelFollowsTheProxysLevelUnlessDebugIsAsked) {
    makeConnection();
    const auto lastArgument = [&] { return argumentsFor("{}", true).back(); };
    Velk::Syslog::setDebugLevel(Velk::DebugLevel::Debug);
    EXPECT_EQ(lastArgument(), "/log-level:INFO");
    Velk::Syslog::setDebugLevel(Velk::DebugLevel::Info);
    EXPECT_EQ(lastArgument(), "/log-level:INFO");
    for (const auto level : {Velk::DebugLevel::None, Velk::DebugLevel::Quiet, Velk::DebugLevel::Console,
                             Velk::DebugLevel::Trace}) {
        Velk::Syslog::setDebugLevel(level);
        EXPECT_EQ(lastArgument(), "/log-level:ERROR") << static_cast<int>(level);
    }
    connection.reset();
    config["transport:debug"] = true;
    makeConnection();
    Velk::Syslog::setDebugLevel(Velk::DebugLevel::Trace);
    EXPECT_EQ(lastArgument(), "/log-level:DEBUG");
}

// The transport really started, through the stand-in that writes down what
// it was given.
class TransportStart : public ConnectionFixture {
protected:
    TransportStart() {
        Json::Value args(Json::arrayValue);
        args.append("/ipc-socket:%{socket}");
        args.append("/standin-record:" + record.string());
        config["x11rdp:path"] = VELK_STANDIN_TRANSPORT_BINARY;
        config["x11rdp:args"] = args;
    }

    // The variables the proxy added: everything after the inherited ones.
    std::vector<std::string> addedEnvironment(const std::string& sessionJson, uint64_t index = 0) {
        auto handle =
            connection->requestRdpTransport((files / "proxy_7_0").string(), (files / "sam_3_0").string(),
                                            Velk::JsonConfigString(sessionJson), 7, index);
        EXPECT_TRUE(waitUntil([&] { return readTransportRecord(record).hasEvent("listening"); }, seconds(5)));
        handle.signal(SIGTERM);
        handle.reapWithin(seconds(10));
        const auto environment = readTransportRecord(record).environment;
        const auto first = std::find_if(environment.begin(), environment.end(), [](const std::string& entry) {
            return entry.rfind("DISPLAY=", 0) == 0;
        });
        return {first, environment.end()};
    }

    fs::path record = files / "transport.rec";
};

TEST_F(TransportStart, EnvironmentHoldsTheSessionsValuesInTheirOrder) {
    makeConnection();
    const std::vector<std::string> defaults = {"DISPLAY=:0", "XAUTHORITY=", "FREERDP_STRONG_SESSION_CHECK=1",
                                               "SESSION_USER="};
    EXPECT_EQ(addedEnvironment("{}"), defaults);
    EXPECT_TRUE(fs::exists(home / ".velk" / "rdp_transport_0_0.log"));
}

TEST_F(TransportStart, DomainSharedMemoryAndFrameRateAreAddedWhenConfigured) {
    config["check:domain"] = true;
    config["kerberos:realm"] = "EXAMPLE.ORG";
    config["transport:shm"] = true;
    config["transport:fps"] = 0;
    makeConnection();
    const std::vector<std::string> expected = {
        "DISPLAY=:-3",       "XAUTHORITY=/run/ann/xauth",  "FREERDP_STRONG_SESSION_CHECK=1",
        "SESSION_USER=ann",  "SESSION_DOMAIN=EXAMPLE.ORG", "FREERDP_SHM_ENABLED=1",
        "FREERDP_SHM_ANY=1", "FREERDP_FRAME_RATE=0"};
    EXPECT_EQ(addedEnvironment(
                  R"({"display": -3, "xauthfile": "/run/ann/xauth", "username": "ann", "uid": 1000})", 2),
              expected);
    EXPECT_TRUE(fs::exists(home / ".velk" / "rdp_transport_1000_2.log"));
}

TEST_F(TransportStart, ADomainCheckWithoutARealmAddsNoDomain) {
    config["check:domain"] = true;
    makeConnection();
    const auto environment = addedEnvironment("{}");
    EXPECT_EQ(environment.size(), 4U);
    EXPECT_EQ(std::find(environment.begin(), environment.end(), "SESSION_DOMAIN="), environment.end());
}

TEST_F(TransportStart, AMissingProgramFallsBackToTheInstalledTransportWithAWarning) {
    if (journalMissing()) {
        GTEST_SKIP() << journal.failure();
    }
    if (fs::exists(ownBuild) || !fs::exists("/usr/bin/freerdp-shadow-cli")) {
        GTEST_SKIP() << "needs /usr/bin/freerdp-shadow-cli and no " << ownBuild;
    }
    config["x11rdp:path"] = (files / "no-such-transport").string();
    config.removeMember("x11rdp:args");
    makeConnection();
    auto handle = connection->requestRdpTransport((files / "proxy_7_0").string(),
                                                  (files / "sam_3_0").string(), Velk::JsonConfig(), 7, 0);
    handle.signal(SIGTERM);
    handle.reapWithin(seconds(10));
    EXPECT_EQ(journal.messages("rdp transport changed", 1),
              std::vector<std::string>{
                  "requestRdpTransport: rdp transport changed to: `/usr/bin/freerdp-shadow-cli'"});
    // Not an own build: no log level argument.
    const auto started = journal.messages("cmd: /usr/bin/freerdp-shadow-cli", 1);
    ASSERT_EQ(started.size(), 1U);
    EXPECT_EQ(started.front(),
              "requestRdpTransport: display: 0, session id: 7, cmd: /usr/bin/freerdp-shadow-cli, "
              "args: [ /ipc-socket:" +
                  (files / "proxy_7_0").string() +
                  ", /max-connections:1, -sec-rdp, -sec-nla, -sec-tls, +auth ]");
}

TEST_F(TransportStart, ADescriptionThatIsNoObjectFailsOrHoldsAControlCharacterIsRefused) {
    makeConnection();
    const auto describe = [&] { return connection->transportDescription(7, std::nullopt); };
    manager.setSessionInfo("[1, 2]");
    EXPECT_THROW(describe(), Velk::velk_error);
    manager.setSessionInfo("display: 1");
    EXPECT_THROW(describe(), Json::Exception);
    for (const char* unsafe : {R"({"ntlm": "user:hash\nroot:hash"})", R"({"home": "/home/u\u0007"})"}) {
        manager.setSessionInfo(unsafe);
        EXPECT_THROW(describe(), Velk::velk_error) << unsafe;
        EXPECT_THROW(connection->transportDescription(7, Velk::JsonConfigString(unsafe)), Velk::velk_error)
            << unsafe;
    }
    manager.setSessionInfo(R"({"ntlm": "user:hash", "home": "/home/u"})");
    EXPECT_EQ(describe().getString("ntlm"), "user:hash");
    manager.failMethod("velkSessionInfoJson");
    EXPECT_THROW(describe(), Velk::ManagerCallError);
}

}  // namespace
