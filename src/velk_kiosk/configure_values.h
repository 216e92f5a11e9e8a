// What the kiosk makes of a client's own ConfigureRequest, as plain values:
// the request's values, the screen clamp, the full-screen hold, the split
// between a frame and its client, and the word list ConfigureWindow takes.
// No X requests here.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "velk_kiosk/frame_geometry.h"
#include "xcb/xcb.h"

namespace Velk {

// A configure request's values, all of them kept; the mask says which count.
struct ConfigureValues {
    uint16_t mask = 0;
    Xcb::Rect place;
    uint16_t borderWidth = 0;
    uint32_t sibling = 0;
    uint8_t stackMode = 0;
};

// Position and size whatever the mask says; border width, sibling and stack
// mode only when the mask has them.
ConfigureValues fromRequest(const xcb_configure_request_event_t& event);

// The value list of ConfigureWindow: one word per mask bit, in bit order.
std::vector<uint32_t> packValues(const ConfigureValues& values);

// A window wider or taller than the root is put at 0 on that axis with the
// root's size; smaller ones keep their requested place, off screen too.
void clampToRoot(ConfigureValues& values, const Xcb::Size& root);

// A window held in place (at full screen, or centred at its own size) that
// asks for anything but that place gets it; false when it asked for exactly
// that.
bool holdAt(ConfigureValues& values, const Xcb::Rect& held);

// Position and size set to the rectangle, whatever the request asked.
void placeInside(ConfigureValues& values, const Xcb::Rect& inside);

// A framed client's request split between the frame and the client.
struct FramedConfigure {
    ConfigureValues frame;
    ConfigureValues client;
};
// The frame is always the client plus its decoration: it takes the position
// and the size grown by the decoration, cut to the root with the client
// shrinking in step (unless the client cannot be resized: `keepSize`).  Held
// in place, the frame takes that place and the client its inside.  The
// client keeps its place inside the frame and gets no border of its own.
// The stacking is the kiosk's, never the request's.
FramedConfigure splitForFrame(const ConfigureValues& request, const FrameMetrics& metrics,
                              const Xcb::Size& root, const std::optional<Xcb::Rect>& held, bool keepSize);

}  // namespace Velk
