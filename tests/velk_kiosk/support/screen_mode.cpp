// See screen_mode.h.
#include "screen_mode.h"

#include <gtest/gtest.h>

#include <sstream>

#include "test_support.h"

namespace VelkTest {

void xrandr(const std::string& display, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/xrandr", "-display", display};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = runProcess(argv);
    ASSERT_EQ(result.exitCode(), 0) << result.err;
}

void switchMode(const std::string& display, int width, int height) {
    const auto cvt = runProcess({"/usr/bin/cvt", std::to_string(width), std::to_string(height)});
    const size_t at = cvt.out.find("Modeline");
    ASSERT_NE(at, std::string::npos) << cvt.out << cvt.err;
    std::istringstream line(cvt.out.substr(at));
    std::string word;
    line >> word >> word;  // "Modeline" and the calculator's own mode name
    const std::string name = std::to_string(width) + "x" + std::to_string(height);
    std::vector<std::string> newMode = {"--newmode", name};
    while (line >> word) {
        newMode.push_back(word);
    }
    xrandr(display, newMode);
    xrandr(display, {"--addmode", "screen", name});
    xrandr(display, {"--output", "screen", "--mode", name});
}

}  // namespace VelkTest
