// What decides who gets a session, without a process: the first bytes that
// make an RDP client, the descriptions a user's proxy takes, and the few
// lines a flood of either leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/log_budget.h"
#include "proxy/rdp_request.h"
#include "proxy/session_claim.h"
#include "standin_bytes.h"

namespace {

using Velk::Claim;

TEST(ConnectionRequest, OnlyATpktPacketHoldingAnX224ConnectionRequestPasses) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {std::string(reinterpret_cast<const char*>(VelkStandin::connectionRequest), 6), true},
        {std::string("\x03\x00\x00\x0b\x06\xe0", 6), true},
        {"GET / HTTP/1.0\r\n", false},
        {std::string("\x03\x00\x00\x0b\x06\xd0", 6), false},  // a confirm, not a request
        {std::string("\x02\x00\x00\x13\x0e\xe0", 6), false},  // TPKT version 2
        {std::string("\x03\x01\x00\x13\x0e\xe0", 6), false},  // reserved byte set
        {std::string("\x03\x00\x00\x0a\x06\xe0", 6), false},  // packet too short for its header
        {std::string("\x03\x00\x00\x13\x05\xe0", 6), false},  // header shorter than a request's
        {std::string("\x03\x00\x00\x13\x0e", 5), false},      // not all there
    };
    for (const auto& [bytes, request] : cases) {
        EXPECT_EQ(Velk::isConnectionRequest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                  request)
            << testing::PrintToString(bytes);
    }
}

TEST(SessionClaim, AUsersProxyTakesDescriptionsThatNameItsUserAndNobodyElse) {
    const std::vector<std::pair<std::string, Claim>> cases = {
        {R"({"uid": 1000})", Claim::Ours},
        {R"({"username": "ann"})", Claim::Ours},
        {R"({"uid": 1000, "username": "ann"})", Claim::Ours},
        {R"({"uid": 0})", Claim::OtherUser},
        {R"({"uid": 1000, "username": "root"})", Claim::OtherUser},
        {R"({"display": 3})", Claim::NoUser},
    };
    for (const auto& [text, claim] : cases) {
        EXPECT_EQ(Velk::claimSession(Velk::JsonConfigString(text), 1000, "ann"), claim) << text;
    }
}

TEST(SessionClaim, AControlCharacterInAnyTextThatReachesAFileOrArgumentIsNamed) {
    EXPECT_EQ(
        Velk::unsafeSessionValue(Velk::JsonConfigString(
            R"({"ntlm": "ann:::hash:::", "home": "/home/ann", "xauthfile": "/run/x", "username": "ann"})")),
        std::nullopt);
    for (const char* key : {"ntlm", "home", "xauthfile", "username"}) {
        const std::string text = std::string(R"({")") + key + R"(": "ok\nroot:::hash:::"})";
        EXPECT_EQ(Velk::unsafeSessionValue(Velk::JsonConfigString(text)), key) << text;
    }
}

TEST(LogBudget, AFewLinesPerWindowThenTheCountOfTheRestOnceTheWindowHasPassed) {
    using Clock = Velk::LogBudget::Clock;
    Velk::LogBudget budget;
    const Clock::time_point start = Clock::now();
    size_t written = 0;
    for (int line = 0; line < 100; ++line) {
        written += budget.allows(start) ? 1 : 0;
    }
    EXPECT_EQ(written, Velk::LogBudget::linesPerWindow);
    EXPECT_EQ(budget.heldBack(start), 0U) << "said before its window passed";
    const Clock::time_point later = start + Velk::LogBudget::window;
    EXPECT_EQ(budget.heldBack(later), 100U - Velk::LogBudget::linesPerWindow);
    size_t again = 0;
    for (int line = 0; line < 6; ++line) {
        again += budget.allows(later) ? 1 : 0;
    }
    EXPECT_EQ(again, Velk::LogBudget::linesPerWindow) << "a new window";
    EXPECT_EQ(budget.heldBack(later, true), 1U) << "forced before its window passed";
}

}  // namespace
