// What every connector test stands on: a private Xvfb, a connector that
// records the X errors it reports, a second client to set the scene, and the
// log lines written meanwhile.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "logger.h"
#include "test_support.h"
#include "x_test_client.h"
#include "xcb/xcb.h"
#include "xvfb_server.h"

namespace VelkTest {

// The connector with its error hook observed and its protected state opened
// to the tests.
class RecordingConnector : public Velk::Xcb::Connector {
public:
    struct Report {
        std::string caller;
        std::string request;
        bool withError = false;
        uint8_t errorCode = 0;
    };

    using Connector::Connector;

    void toSyslogError(const Velk::Xcb::GenericError& error, std::string_view caller,
                       std::string_view request) const override {
        reports.push_back(
            {std::string(caller), std::string(request), bool(error), error ? error->error_code : uint8_t{0}});
        Connector::toSyslogError(error, caller, request);
    }

    mutable std::vector<Report> reports;
};

inline bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class XcbTest : public ::testing::Test {
protected:
    XvfbServer server;
    RecordingConnector connector{server.display(), nullptr};
    XTestClient client{server.display()};
};

}  // namespace VelkTest
