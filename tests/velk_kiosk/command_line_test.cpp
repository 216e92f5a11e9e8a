// The kiosk's command line and DISPLAY read alone: where the program starts
// after the options, which rules file is named, and which DISPLAY values name
// a local display.
#include "velk_kiosk/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velk_kiosk/rules_file.h"

namespace {

using Velk::CommandLine;

CommandLine parse(std::vector<std::string> words) {
    words.insert(words.begin(), "velk_kiosk");
    std::vector<char*> argv;
    argv.reserve(words.size());
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    return Velk::parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, RulesFileAndProgramComeFromTheOptionsBeforeIt) {
    struct Case {
        std::vector<std::string> words;
        std::string rules;
        int programIndex;
    };
    const std::string installed = Velk::installedRulesPath.string();
    const Case cases[] = {
        {{"/usr/bin/xterm", "--rules", "x"}, installed, 1},
        {{"--rules", "/srv/k.json", "/usr/bin/xterm"}, "/srv/k.json", 3},
        {{"--rules=/srv/k.json", "/usr/bin/xterm", "-e"}, "/srv/k.json", 2},
        {{"--rules", "/srv/k.json", "--", "-prog"}, "/srv/k.json", 4},
        {{"--", "--rules"}, installed, 2},
        {{"--rules", "k.json"}, "k.json", 3},
    };
    for (const Case& check : cases) {
        const CommandLine line = parse(check.words);
        EXPECT_EQ(line.mode, CommandLine::Mode::Run) << check.words.front();
        EXPECT_EQ(line.rulesPath, check.rules) << check.words.front();
        EXPECT_EQ(line.programIndex, check.programIndex) << check.words.front();
    }
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"--rules"}, {"--rules="}, {"--rules", "k.json", "-x"}, {"-x"}}) {
        EXPECT_EQ(parse(wrong).mode, CommandLine::Mode::Wrong) << wrong.back();
    }
}

TEST(CommandLine, OnlyALocalDisplayNumberWithAnOptionalScreenIsADisplayName) {
    EXPECT_EQ(Velk::displayNumber(":0"), 0);
    EXPECT_EQ(Velk::displayNumber(":10.0"), 10);
    EXPECT_EQ(Velk::displayNumber(":7.12"), 7);
    for (const char* wrong :
         {"", "foo", "0", ":", ":abc", "host:1", ":1x", ":-1", ":+1", ":2.", ":2.x", ": 1", ":99999999999"}) {
        EXPECT_FALSE(Velk::displayNumber(wrong)) << wrong;
    }
}

}  // namespace
