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

bool AnswerLooks::afterSmallMessage(bool toTransport, Clock::time_point now) {
    AnswerLook& look = toTransport ? forTransport : forClient;
    look.afterSmallMessage(now);
    return look.looking(now);
}

bool AnswerLooks::looking(Clock::time_point now) {
    // Both are asked, so that each counts its own miss.
    const bool transportLook = forTransport.looking(now);
    const bool clientLook = forClient.looking(now);
    return transportLook || clientLook;
}

void AnswerLooks::trafficArrived() {
    forTransport.trafficArrived();
    forClient.trafficArrived();
}

}  // namespace Velk
