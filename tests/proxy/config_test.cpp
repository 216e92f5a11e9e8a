// velk_proxy as a process following its configuration file: a file put in
// place by a rename is loaded at once without a signal, and one that the
// check refuses, whether the file watch or SIGHUP brings it, leaves the
// configuration in force, each problem logged where it is.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>

#include "client_io.h"
#include "journaled_proxy_test.h"

namespace {

using namespace VelkTest;
using std::chrono::seconds;

using ProxyConfigReload = JournaledProxyTest;

TEST_F(ProxyConfigReload, ARenamedFileIsLoadedAndARefusedOneByWatchOrSignalLeavesTheOneInForce) {
    harness.start();
    const std::string path = harness.configPath().string();
    // As configuration management writes: aside, then renamed over it.
    const auto replaceByRename = [&](const std::string& text) {
        writeFile(path + ".new", text);
        ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
    };
    const uint16_t newPort = freeLoopbackPort();
    harness.config["listen:port"] = newPort;
    replaceByRename(Json::writeString(Json::StreamWriterBuilder(), harness.config));
    ASSERT_EQ(proxyMessages("reloadConfigWatcher: success").size(), 1U);

    replaceByRename(R"({"listen:port": "23391", "listen:prot": 1})");
    EXPECT_EQ(proxyMessages(path + ":1:17: listen:port: expected an integer, found a string").size(), 1U);
    EXPECT_EQ(proxyMessages("listen:prot: unknown key, did you mean listen:port?").size(), 1U);
    writeFile(path, R"({"listen:timeout": -1})");
    EXPECT_EQ(proxyMessages("configuration refused, the one in force is kept", 2).size(), 2U);
    harness.proxy->signal(SIGHUP);
    EXPECT_EQ(proxyMessages("configuration refused, the one in force is kept", 3).size(), 3U);

    ASSERT_EQ(harness.allowConnection(7, 1), true);
    const Fd client(connectRdpClient(newPort));
    ASSERT_TRUE(harness.waitForSessionConnected(7, 0)) << "the port of the last file loaded is not in force";
    EXPECT_TRUE(readConnectionConfirm(client.get()));
    EXPECT_EQ(proxyMessages("reloadConfigWatcher: success", 1, seconds(0)).size(), 1U);
    EXPECT_EQ(harness.stop().exitCode(), 0);
}

}  // namespace
