#include "quiet_trips.h"

#include <random>
#include <thread>

#include "client_io.h"

namespace VelkBench {

std::map<std::string, std::vector<double>> quietRoundTrips(
    const std::vector<std::unique_ptr<RelayTarget>>& targets, int count) {
    std::vector<int> sockets;
    sockets.reserve(targets.size());
    for (const auto& target : targets) {
        sockets.push_back(target->connect("echo"));
    }
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pause(2500, 7500);
    std::map<std::string, std::vector<double>> trips;
    char byte = 'q';
    for (int i = 0; i < count; ++i) {
        for (size_t t = 0; t < targets.size(); ++t) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
            const auto start = Clock::now();
            if (VelkTest::sendAll(sockets[t], &byte, 1) && recvAll(sockets[t], &byte, 1)) {
                trips[targets[t]->name()].push_back(micros(Clock::now() - start));
            }
        }
    }
    for (size_t t = 0; t < targets.size(); ++t) {
        targets[t]->finish(sockets[t]);
    }
    return trips;
}

}  // namespace VelkBench
