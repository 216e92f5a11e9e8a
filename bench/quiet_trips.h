// A byte there and back after a quiet moment, through several relays taking
// turns: what a relay adds when it has to be woken for a keystroke.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "relay_targets.h"

namespace VelkBench {

// One byte to each target's echo and back after 2.5-7.5 ms of quiet, `count`
// times on each, the targets taking turns so that the machine's moods fall
// on all of them alike. Target name -> microseconds of each round trip.
std::map<std::string, std::vector<double>> quietRoundTrips(
    const std::vector<std::unique_ptr<RelayTarget>>& targets, int count);

}  // namespace VelkBench
