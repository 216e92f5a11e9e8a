// See answer_look.h.
#include "proxy/answer_look.h"

#include <algorithm>

namespace Velk {

void AnswerLook::afterSmallMessage(Clock::time_point now) {
    const bool givenUp = misses >= missesToGiveUp;
    if (givenUp && ++messagesWithoutLook < tryAfter) {
        return;
    }
    messagesWithoutLook = 0;
    until = now + window;
    active = true;
    trying = givenUp;
}

bool AnswerLook::looking(Clock::time_point now) {
    if (active && now >= until) {
        active = false;
        ++misses;
        if (trying) {
            tryAfter = std::min(2 * tryAfter, longestTryAfter);
        }
    }
    return active;
}

void AnswerLook::trafficArrived() {
    if (active) {
        active = false;
        misses = 0;
        tryAfter = firstTryAfter;
    }
}

}  // namespace Velk
