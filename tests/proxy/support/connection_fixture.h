// ProxyConnection inside the test process: a private journal, a private bus
// with the stand-in manager, a home directory and a configuration file of the
// test's own, and the connection built on the bus the way the proxy's entry
// builds it.  The D-Bus loop is not run; the test calls the members itself.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <memory>
#include <string>

#include "private_bus.h"
#include "private_journal.h"
#include "proxy/proxy_connection.h"
#include "standin_manager.h"
#include "test_support.h"

namespace VelkTest {

class ConnectionFixture : public ::testing::Test {
protected:
    ConnectionFixture();
    ~ConnectionFixture() override;

    // Writes `config` and builds the connection from it.
    Velk::ProxyConnection& makeConnection();
    void writeConfig(const Json::Value& value) const;

    // Skips the test (with the reason) when no private journal runs.
    bool journalMissing() const;

    // First: it has to exist before any thread does.
    PrivateJournal journal;
    PrivateBus bus;
    StandinManager manager{bus};
    TempDir home;
    TempDir files;
    std::filesystem::path configFile;
    Json::Value config;
    std::unique_ptr<DBus::Connection> conn;
    std::unique_ptr<Velk::ProxyConnection> connection;
};

}  // namespace VelkTest
