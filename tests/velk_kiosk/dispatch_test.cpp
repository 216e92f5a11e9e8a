// What the kiosk makes of what the server sends, without a server: events
// taken by turns of the clients whose windows they concern, and which X
// errors only say that a client's window went first.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "velk_kiosk/event_turns.h"
#include "velk_kiosk/wm_kiosk.h"

namespace {

constexpr uint32_t mask = 0x001FFFFF;
constexpr uint32_t kioskBase = 0x00400000;
constexpr xcb_window_t root = 0x000003AA;
constexpr xcb_window_t clientA = 0x00600001;
constexpr xcb_window_t clientB = 0x00800001;
constexpr xcb_window_t frame = kioskBase | 0x20;

Velk::Xcb::GenericEvent event(uint8_t type, xcb_window_t subject, uint16_t sequence) {
    auto* raw = static_cast<xcb_generic_event_t*>(std::calloc(1, sizeof(xcb_generic_event_t) + 4));
    raw->response_type = type;
    raw->sequence = sequence;
    // Every event the turns look at names its window in the second word,
    // or (pointer events) in the third.
    const size_t at = type == XCB_BUTTON_PRESS ? 12 : type == XCB_CLIENT_MESSAGE ? 4 : 8;
    std::memcpy(reinterpret_cast<uint8_t*>(raw) + at, &subject, sizeof(subject));
    return Velk::Xcb::GenericEvent(raw);
}

TEST(EventTurns, ClientsTakeTurnsAndEachKeepsItsOrder) {
    Velk::EventTurns turns(mask, kioskBase, root);
    // Client A maps three windows, then B one; the kiosk's own events
    // (its frame exposed, the root's RandR change) come in between.
    const std::vector<std::pair<uint8_t, xcb_window_t>> received = {
        {XCB_MAP_REQUEST, clientA},     {XCB_MAP_REQUEST, clientA + 1}, {XCB_EXPOSE, frame},
        {XCB_MAP_REQUEST, clientA + 2}, {XCB_BUTTON_PRESS, frame},      {XCB_MAP_REQUEST, clientB},
        {XCB_UNMAP_NOTIFY, clientA},    {XCB_CLIENT_MESSAGE, clientB},  {0, 0},
    };
    for (size_t at = 0; at < received.size(); ++at) {
        turns.push(event(received[at].first, received[at].second, static_cast<uint16_t>(at)));
    }
    std::vector<uint16_t> order;
    while (Velk::Xcb::GenericEvent next = turns.pop()) {
        order.push_back(next->sequence);
    }
    EXPECT_TRUE(turns.empty());
    // A, the kiosk, B in the order of their first events; then by turns.
    EXPECT_EQ(order, (std::vector<uint16_t>{0, 2, 5, 1, 4, 7, 3, 8, 6}));
}

TEST(GoneWindows, OnlyErrorsAboutAnotherClientsWindowOrAFocusThatCameTooLateAreRaces) {
    struct Case {
        uint8_t code;
        uint8_t major;
        uint32_t resource;
        bool race;
    };
    const Case cases[] = {
        {XCB_WINDOW, XCB_SET_INPUT_FOCUS, clientA, true},
        {XCB_WINDOW, XCB_REPARENT_WINDOW, clientB, true},
        {XCB_DRAWABLE, XCB_GET_GEOMETRY, clientA, true},
        {XCB_WINDOW, XCB_CONFIGURE_WINDOW, frame, false},
        {XCB_DRAWABLE, XCB_COPY_AREA, frame, false},
        {XCB_MATCH, XCB_SET_INPUT_FOCUS, 0, true},
        {XCB_MATCH, XCB_CONFIGURE_WINDOW, clientA, false},
        {XCB_ACCESS, XCB_CHANGE_WINDOW_ATTRIBUTES, root, false},
        {XCB_VALUE, XCB_CONFIGURE_WINDOW, clientA, false},
    };
    for (const Case& check : cases) {
        xcb_generic_error_t error{};
        error.error_code = check.code;
        error.major_code = check.major;
        error.resource_id = check.resource;
        EXPECT_EQ(Velk::isGoneWindowRace(error, mask, kioskBase), check.race)
            << "code " << int{check.code} << ", major " << int{check.major} << ", resource "
            << check.resource;
    }
}

}  // namespace
