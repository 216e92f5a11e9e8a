// The window rules alone: conversion from JSON with its defaults and errors,
// and the matcher's order of tests, class patterns, types and roles.
#include <gtest/gtest.h>

#include "config.h"
#include "velk_kiosk/window_rules.h"

namespace {

using Velk::JsonWindow;
using Velk::matchWindowRule;
using Velk::WindowFacts;

Json::Value parse(const std::string& text) {
    Json::Value value;
    Json::Reader reader(Json::Features::strictMode());
    EXPECT_TRUE(reader.parse(text, value)) << text;
    return value;
}

std::list<JsonWindow> rulesOf(const std::string& text) {
    return Velk::valueToList<JsonWindow>(parse(text));
}

WindowFacts facts(const std::string& instance, const std::string& type = "", const std::string& role = "") {
    return WindowFacts{type, role, instance, true, ""};
}

TEST(WindowRulesFromJson, EveryKeyIsReadAndAbsentOnesTakeTheirDefaults) {
    const auto rules = rulesOf(R"([
        {"wm:window:type": "dialog", "wm:class": "xterm", "wm:window:role": "main",
         "frame": false, "fullscreen": false, "titlebar": false, "other": 1},
        {"wm:class": "only"}
    ])");
    ASSERT_EQ(rules.size(), 2U);
    const JsonWindow& full = rules.front();
    EXPECT_EQ(full.windowType, "dialog");
    EXPECT_EQ(full.wmClass, "xterm");
    EXPECT_EQ(full.windowRole, "main");
    EXPECT_FALSE(full.border);
    EXPECT_FALSE(full.fullscreen);
    EXPECT_FALSE(full.titlebar);
    const JsonWindow& defaults = rules.back();
    EXPECT_EQ(defaults.wmClass, "only");
    EXPECT_TRUE(defaults.windowType.empty());
    EXPECT_TRUE(defaults.windowRole.empty());
    EXPECT_TRUE(defaults.border);
    EXPECT_TRUE(defaults.fullscreen);
    EXPECT_TRUE(defaults.titlebar);
}

TEST(WindowRulesFromJson, OnlyAnArrayGivesRulesAndItKeepsFileOrder) {
    EXPECT_TRUE(rulesOf(R"({"wm:class": "xterm"})").empty());
    EXPECT_TRUE(rulesOf("[]").empty());
    const auto rules = rulesOf(R"([{"wm:class": "a"}, {"wm:class": "b"}, {"wm:class": "c"}])");
    std::string order;
    for (const auto& rule : rules) {
        order += rule.wmClass;
    }
    EXPECT_EQ(order, "abc");
}

TEST(WindowRulesFromJson, AFlagGivenAsTextRaisesTheJsonLibrarysError) {
    EXPECT_THROW(rulesOf(R"([{"wm:class": "xterm", "frame": "yes"}])"), Json::LogicError);
}

TEST(RuleClassPatterns, InstanceNameMatchesExactlyAndCaseSensitively) {
    const auto rules = rulesOf(R"([{"wm:class": "xterm"}])");
    EXPECT_EQ(matchWindowRule(rules, facts("xterm")), &rules.front());
    EXPECT_EQ(matchWindowRule(rules, facts("XTerm")), nullptr);
    EXPECT_EQ(matchWindowRule(rules, facts("xterm2")), nullptr);
    EXPECT_EQ(matchWindowRule(rules, facts("")), nullptr);
}

TEST(RuleClassPatterns, PrefixBeforeTheStarMustBeTheStartOfTheInstanceName) {
    const auto rules = rulesOf(R"([{"wm:class": "libre*office-is-not-looked-at"}])");
    EXPECT_NE(matchWindowRule(rules, facts("libreoffice")), nullptr);
    EXPECT_NE(matchWindowRule(rules, facts("libre")), nullptr);
    EXPECT_EQ(matchWindowRule(rules, facts("lib")), nullptr);
    EXPECT_EQ(matchWindowRule(rules, facts("xlibre")), nullptr);
}

TEST(RuleClassPatterns, EmptyStarAndLeadingStarMatchEveryInstance) {
    for (const char* pattern : {"", "*", "*term"}) {
        const auto rules = rulesOf(std::string(R"([{"wm:class": ")") + pattern + R"("}])");
        EXPECT_NE(matchWindowRule(rules, facts("anything")), nullptr) << pattern;
        EXPECT_NE(matchWindowRule(rules, facts("")), nullptr) << pattern;
    }
}

TEST(RuleOrder, TypeRuleBeforeTheGeneralRuleGivesDialogsTheirOwnFlags) {
    const auto rules = rulesOf(R"([
        {"wm:window:type": "dialog", "fullscreen": false},
        {"wm:class": "*"}
    ])");
    EXPECT_EQ(matchWindowRule(rules, facts("app", "dialog")), &rules.front());
    EXPECT_EQ(matchWindowRule(rules, facts("app", "normal")), &rules.back());
    EXPECT_EQ(matchWindowRule(rules, facts("app")), &rules.back());
}

TEST(RuleOrder, TypeRuleAfterTheGeneralRuleIsNeverReached) {
    const auto rules = rulesOf(R"([{"wm:class": "*"}, {"wm:window:type": "dialog", "fullscreen": false}])");
    EXPECT_EQ(matchWindowRule(rules, facts("app", "dialog")), &rules.front());
}

TEST(RuleOrder, RoleAndTypeMustBothFitBeforeTheClassIsLookedAt) {
    const auto rules = rulesOf(R"([
        {"wm:window:role": "browser", "wm:window:type": "normal", "wm:class": "web", "frame": false},
        {"wm:window:role": "browser", "wm:class": "web"}
    ])");
    EXPECT_EQ(matchWindowRule(rules, facts("web", "normal", "browser")), &rules.front());
    EXPECT_EQ(matchWindowRule(rules, facts("web", "", "browser")), &rules.back());
    EXPECT_EQ(matchWindowRule(rules, facts("web", "normal", "Browser")), nullptr);
    EXPECT_EQ(matchWindowRule(rules, facts("other", "normal", "browser")), nullptr);
}

TEST(RuleNames, ANameRuleFindsWindowsWithOrWithoutAClassOthersNeedAClass) {
    const auto rules = rulesOf(R"([
        {"wm:name": "Key*", "fullscreen": false, "monitor": "right"},
        {"wm:name": "Exact", "wm:class": "app"},
        {"wm:class": "*"}
    ])");
    EXPECT_EQ(rules.front().monitor, "right");
    struct Case {
        const char* instance;
        bool hasClass;
        const char* name;
        const JsonWindow* expected;
    };
    const Case cases[] = {
        {"", false, "Keyboard", &rules.front()},
        {"", false, "Other", nullptr},
        {"", false, "Exact", nullptr},
        {"app", true, "Exact", &*std::next(rules.begin())},
        {"app", true, "Keyboard", &rules.front()},
        {"x", true, "Exact", &rules.back()},
        {"x", true, "Ke", &rules.back()},
    };
    for (const Case& one : cases) {
        EXPECT_EQ(matchWindowRule(rules, WindowFacts{"", "", one.instance, one.hasClass, one.name}),
                  one.expected)
            << one.instance << " " << one.name;
    }
}

TEST(RuleOrder, NoRulesMatchNothing) {
    EXPECT_EQ(matchWindowRule({}, facts("xterm", "normal")), nullptr);
}

}  // namespace
