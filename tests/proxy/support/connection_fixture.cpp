// See connection_fixture.h.
#include "connection_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "proxy/proxy.h"

namespace VelkTest {

ConnectionFixture::ConnectionFixture() : configFile(files / "velk_proxy.json") {
    setenv("HOME", home.path().c_str(), 1);
    // The connection's calls to the manager go over a connection of their own.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    config["debug:level"] = "debug";
}

ConnectionFixture::~ConnectionFixture() {
    connection.reset();
    conn.reset();
    Velk::proxyRunning.exchange(false);
    Velk::Syslog::setDebugLevel(Velk::DebugLevel::Info);
}

Velk::ProxyConnection& ConnectionFixture::makeConnection() {
    writeConfig(config);
    DBus::default_dispatcher = &Velk::proxyDispatcher;
    // By address rather than as the system bus: libdbus reads the system
    // bus's address once per process, and every test has a bus of its own.
    conn = std::make_unique<DBus::Connection>(bus.address().c_str());
    conn->register_bus();
    connection = std::make_unique<Velk::ProxyConnection>(*conn, configFile.string(), "/ru/tavio/velk",
                                                         "ru.tavio.velk");
    return *connection;
}

void ConnectionFixture::writeConfig(const Json::Value& value) const {
    Json::StreamWriterBuilder builder;
    // Written whole and renamed into place, as an editor saving it would.
    const auto aside = files / "velk_proxy.part";
    std::ofstream out(aside, std::ios::trunc);
    out << Json::writeString(builder, value);
    out.close();
    std::filesystem::rename(aside, configFile);
}

bool ConnectionFixture::journalMissing() const {
    return !journal.failure().empty();
}

}  // namespace VelkTest
