// Every key of the proxy's configuration file with the kind and range of its
// value: what `velk_proxy --check-config` and the start check hold the file
// against, so that a mistake is reported with its line and column before the
// proxy runs with it.
#pragma once

#include <string>
#include <vector>

#include "config.h"

namespace Velk {

const std::vector<JsonKnownKey>& proxyConfigKeys();

// The problems of the file, each as "PATH:LINE:COLUMN: message"; empty when
// it passes.
std::vector<std::string> checkProxyConfig(const std::string& path);

}  // namespace Velk
