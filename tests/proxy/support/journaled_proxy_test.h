// The fixture of tests that run velk_proxy as a process and read what it
// logged from a private journal of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "private_journal.h"
#include "proxy_harness.h"

namespace VelkTest {

class JournaledProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!journal.failure().empty()) {
            GTEST_SKIP() << journal.failure();
        }
    }

    // The proxy's messages that contain the marker, waiting for `expected`.
    std::vector<std::string> proxyMessages(
        const std::string& marker, size_t expected = 1,
        std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return journal.messages(marker, expected, timeout, harness.proxy->pid());
    }

    // First: it has to exist before any thread does.
    PrivateJournal journal;
    ProxyHarness harness;
};

}  // namespace VelkTest
