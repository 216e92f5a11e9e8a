// See answer_look.h.
#include "proxy/answer_look.h"

namespace Velk {

void AnswerLook::afterSmallMessage(Clock::time_point now) {
    if (misses >= missesToGiveUp && ++messagesWithoutLook < messagesBetweenTries) {
        return;
    }
    messagesWithoutLook = 0;
    until = now + window;
    active = true;
}

bool AnswerLook::looking(Clock::time_point now) {
    if (active && now >= until) {
        active = false;
        ++misses;
    }
    return active;
}

void AnswerLook::trafficArrived() {
    if (active) {
        active = false;
        misses = 0;
    }
}

}  // namespace Velk
