// See forwarded_client.h.
#include "forwarded_client.h"

#include <unistd.h>

#include <string>

namespace VelkTest {

ForwardedClient forwardClient(ProxyHarness& harness, uint32_t sessionId, uint32_t samId) {
    const int fd = harness.forwardClient(sessionId, samId);
    return fd < 0 ? ForwardedClient{} : ForwardedClient{fd, harness.transportPid(sessionId)};
}

std::optional<Holdings> settledHoldings(const ProxyHarness& harness) {
    const pid_t pid = harness.proxy->pid();
    // A job's helper threads end a moment after its transport is reaped: the
    // holdings count once they stay the same over a few looks.
    constexpr int stableLooks = 10;
    Holdings holdings;
    Holdings previous;
    int unchanged = 0;
    const bool settled = waitUntil(
        [&] {
            holdings = holdingsOf(pid, harness.velkDir());
            unchanged = holdings == previous ? unchanged + 1 : 0;
            previous = holdings;
            return holdings.children == 0 && holdings.files == 0 && countEntries(harness.velkDir()) > 0 &&
                   unchanged >= stableLooks;
        },
        std::chrono::seconds(10));
    if (!settled) {
        return std::nullopt;
    }
    return holdings;
}

}  // namespace VelkTest
