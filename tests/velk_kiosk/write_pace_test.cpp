// The pace of the root's list writes: the first after a quiet while at once,
// those within the gap owed to its end, and an offer with nothing to write
// no reason to hold the next one back.
#include <gtest/gtest.h>

#include "velk_kiosk/write_pace.h"

namespace {

using std::chrono::milliseconds;
using Velk::WritePace;

TEST(WritePace, ChangesWithinTheGapWaitForItsEndAndGoTogether) {
    struct Offer {
        int atMs;
        bool somethingToWrite;
        bool expectRun;
        std::optional<int> expectDueMs;
    };
    const Offer offers[] = {
        {0, true, true, std::nullopt},    // the first write goes at once
        {5, true, false, 20},             // within the gap: owed to its end
        {12, true, false, 20},            // still the same end
        {20, true, true, std::nullopt},   // due: written, nothing owed
        {45, false, true, std::nullopt},  // nothing to write counts as no write
        {50, true, true, std::nullopt},   // so the next goes at once
        {60, false, false, 70},           // owed even when it may turn out empty
    };
    WritePace pace(milliseconds(20));
    const WritePace::Clock::time_point start{};
    for (const Offer& offer : offers) {
        bool ran = false;
        pace.offer(start + milliseconds(offer.atMs), [&] {
            ran = true;
            return offer.somethingToWrite;
        });
        EXPECT_EQ(ran, offer.expectRun) << "at " << offer.atMs << " ms";
        const std::optional<WritePace::Clock::time_point> due = pace.dueAt();
        ASSERT_EQ(due.has_value(), offer.expectDueMs.has_value()) << "at " << offer.atMs << " ms";
        if (due) {
            EXPECT_EQ(*due, start + milliseconds(*offer.expectDueMs)) << "at " << offer.atMs << " ms";
        }
    }
}

}  // namespace
