// Whether a session's relay loop looks for its answer before it sleeps.
// After a small message the answer of a chatty peer follows within
// microseconds, and a short look spares it a wake-up on another CPU; an interactive session's
// answers come milliseconds later, and there the look is pure CPU. So the
// look is kept while it finds answers and given up after a few misses, with
// one look now and then to notice when answers come quickly again: after 64
// messages, then twice as many after each try that finds nothing, up to
// 4096, so that a session whose answers never come that quickly hardly pays.
#pragma once

#include <chrono>

namespace Velk {

class AnswerLook {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr auto window = std::chrono::microseconds(150);
    static constexpr int missesToGiveUp = 2;
    static constexpr int firstTryAfter = 64;
    static constexpr int longestTryAfter = 4096;

    // A small message went out at now: a look starts unless it has been
    // given up.
    void afterSmallMessage(Clock::time_point now);
    // True while a look is under way; a look whose time ran out counts as
    // a miss and ends.
    bool looking(Clock::time_point now);
    // Traffic arrived: a look under way found its answer.
    void trafficArrived();

private:
    Clock::time_point until{};
    bool active = false;
    bool trying = false;  // the look under way is a try after giving up
    int misses = 0;
    int messagesWithoutLook = 0;
    int tryAfter = firstTryAfter;
};

// A look for each side's answer: the transport's to what the client sent
// and the client's to what the transport sent. They are kept or given up
// apart: a server answers within microseconds where a remote client never
// does, and one look's hits must not keep the other's misses going.
class AnswerLooks {
public:
    using Clock = AnswerLook::Clock;

    // A small message went to the transport (or to the client) at now:
    // whether a look for its answer is under way.
    bool afterSmallMessage(bool toTransport, Clock::time_point now);
    // Whether either look is under way; each whose time ran out is a miss.
    bool looking(Clock::time_point now);
    // Traffic arrived: a look under way found its answer.
    void trafficArrived();

private:
    AnswerLook forTransport;
    AnswerLook forClient;
};

}  // namespace Velk
