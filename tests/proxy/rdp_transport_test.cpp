// velk_proxy with the real RDP transport: freerdp-shadow-cli on a private
// Xvfb, started by the proxy, answers an RDP client's connection request
// through the proxy's port.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "client_io.h"
#include "proxy_harness.h"
#include "xvfb_server.h"

namespace {

using namespace VelkTest;
using std::chrono::seconds;

const char* const shadowServer = "/usr/bin/freerdp-shadow-cli";

// TPKT header, X.224 Connection Request, RDP negotiation request for TLS.
const std::string connectionRequest(
    "\x03\x00\x00\x13"
    "\x0e\xe0\x00\x00\x00\x00\x00"
    "\x01\x00\x08\x00\x01\x00\x00\x00",
    19);

TEST(ProxyRdpTransport, TheConnectionRequestAndConfirmCrossTheProxy) {
    if (!std::filesystem::exists(shadowServer)) {
        GTEST_SKIP() << shadowServer << " is not installed";
    }
    XvfbServer xvfb(XvfbOptions{"800x600x24", std::nullopt, {}});
    ProxyHarness harness;
    Json::Value args(Json::arrayValue);
    args.append("/ipc-socket:%{socket}");
    args.append("-auth");
    harness.config["x11rdp:path"] = shadowServer;
    harness.config["x11rdp:args"] = args;
    harness.start();
    harness.manager.setSessionInfo(R"({"display": )" + std::to_string(xvfb.display()) +
                                   R"(, "sec:tls": true, "sec:auth": false})");

    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const int client = connectRdpClient(harness.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0))
        << readFile(harness.velkDir() / "rdp_transport_0_0.log");
    ASSERT_TRUE(sendAll(client, connectionRequest));

    const std::string confirm = receiveAll(client, 19, seconds(10));
    ASSERT_EQ(confirm.size(), 19U) << readFile(harness.velkDir() / "rdp_transport_0_0.log");
    EXPECT_EQ(confirm.substr(0, 4), std::string("\x03\x00\x00\x13", 4)) << "TPKT of 19 bytes";
    EXPECT_EQ(static_cast<uint8_t>(confirm[5]), 0xd0) << "X.224 Connection Confirm";
    EXPECT_EQ(static_cast<uint8_t>(confirm[11]), 0x02) << "RDP negotiation response";
    EXPECT_EQ(confirm.substr(15, 4), std::string("\x01\x00\x00\x00", 4)) << "TLS selected";
    close(client);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
