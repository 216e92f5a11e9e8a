// Changes the screen size of a test's Xvfb the way an administrator would:
// a mode from the calculator's timings, added to the screen and selected.
#pragma once

#include <string>
#include <vector>

namespace VelkTest {

// Runs xrandr on the display; a failure fails the calling test.
void xrandr(const std::string& display, const std::vector<std::string>& args);

// Adds WIDTHxHEIGHT with /usr/bin/cvt's timings and drives the output with it.
void switchMode(const std::string& display, int width, int height);

}  // namespace VelkTest
