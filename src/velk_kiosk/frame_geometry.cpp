// Frame placement and drag arithmetic; see frame_geometry.h.
#include "velk_kiosk/frame_geometry.h"

#include <algorithm>

namespace Velk {

namespace {

constexpr int largestSize = 32767;

uint16_t clampSize(int value, int smallest) {
    return static_cast<uint16_t>(std::clamp(value, smallest, largestSize));
}

int smallestFrameWidth(const FrameMetrics& metrics) {
    return 2 * (metrics.frameBorderWidth + metrics.borderWidth) + 1;
}

int smallestFrameHeight(const FrameMetrics& metrics) {
    return 2 * metrics.frameBorderWidth + metrics.titleHeight + metrics.borderWidth + 1;
}

}  // namespace

FramePlacement placeFrame(const Xcb::Rect& client, const FrameMetrics& metrics, const Xcb::Size& root) {
    const int border = metrics.borderWidth;
    const int outer = 2 * metrics.frameBorderWidth;
    FramePlacement placement;
    placement.frame = {client.x, client.y, static_cast<uint16_t>(client.width + 2 * border),
                       static_cast<uint16_t>(metrics.titleHeight + client.height + border)};
    placement.client = {client.width, client.height};
    if (root.width < placement.frame.width) {
        placement.frame.width = static_cast<uint16_t>(root.width - outer);
        placement.client.width = static_cast<uint16_t>(root.width - outer - 2 * border);
    }
    if (root.height < placement.frame.height) {
        placement.frame.height = static_cast<uint16_t>(root.height - outer);
        placement.client.height = static_cast<uint16_t>(root.height - outer - metrics.titleHeight - border);
    }
    return placement;
}

namespace {

constexpr int defaultCascadeStep = 18;
// A bound on the cascade: past it the window takes the place it reached.
constexpr int cascadeLimit = 64;

int16_t centred(int16_t over, uint16_t overSize, uint16_t size) {
    return static_cast<int16_t>(over + (overSize - size) / 2);
}

// Into [0, rootSize - size] when the size fits, else at 0.
int16_t ontoScreen(int16_t position, uint16_t size, uint16_t rootSize) {
    return static_cast<int16_t>(size <= rootSize ? std::clamp<int>(position, 0, rootSize - size) : 0);
}

}  // namespace

FramePlacement firstPlace(const Xcb::Rect& client, const FrameMetrics& metrics, const Xcb::Size& root,
                          const std::optional<Xcb::Rect>& centreOver, const PlaceTaken& taken) {
    FramePlacement placement = placeFrame(client, metrics, root);
    Xcb::Rect& frame = placement.frame;
    if (centreOver) {
        frame.x = centred(centreOver->x, centreOver->width, frame.width);
        frame.y = centred(centreOver->y, centreOver->height, frame.height);
    } else {
        const int step = metrics.titleHeight != 0 ? metrics.titleHeight : defaultCascadeStep;
        for (int moved = 0; moved < cascadeLimit && taken(frame.x, frame.y); ++moved) {
            frame.x = static_cast<int16_t>(frame.x + step);
            frame.y = static_cast<int16_t>(frame.y + step);
        }
    }
    frame.x = ontoScreen(frame.x, frame.width, root.width);
    frame.y = ontoScreen(frame.y, frame.height, root.height);
    return placement;
}

Xcb::Rect keptOnRoot(const Xcb::Rect& frame, const Xcb::Size& root) {
    Xcb::Rect kept = frame;
    kept.width = std::min(kept.width, root.width);
    kept.height = std::min(kept.height, root.height);
    kept.x = ontoScreen(kept.x, kept.width, root.width);
    kept.y = ontoScreen(kept.y, kept.height, root.height);
    return kept;
}

namespace {

// How far the frame's corner moves from the asked position along one axis:
// not at all when the reference point is the near edge, half the decorations
// for the centre, all of them for the far edge, the near side's for Static.
int gravityOffset(int near, int far, int placeOnAxis) {
    switch (placeOnAxis) {
        case 0:
            return 0;
        case 1:
            return -(near + far) / 2;
        case 2:
            return -(near + far);
        default:
            return -near;
    }
}

}  // namespace

Xcb::Rect withGravity(const Xcb::Rect& client, uint32_t gravity, const FrameMetrics& metrics) {
    // The reference point's place on each axis, by gravity 1 to 10:
    // 0 near edge, 1 centre, 2 far edge, 3 the client itself (Static).
    static constexpr int horizontal[] = {0, 0, 1, 2, 0, 1, 2, 0, 1, 2, 3};
    static constexpr int vertical[] = {0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3};
    if (gravity > XCB_GRAVITY_STATIC) {
        return client;
    }
    const int side = metrics.frameBorderWidth + metrics.borderWidth;
    const int top = metrics.frameBorderWidth + metrics.titleHeight;
    Xcb::Rect moved = client;
    moved.x = static_cast<int16_t>(client.x + gravityOffset(side, side, horizontal[gravity]));
    moved.y = static_cast<int16_t>(client.y + gravityOffset(top, side, vertical[gravity]));
    return moved;
}

FramePlacement fullscreenPlace(const FrameMetrics& metrics, const Xcb::Size& root) {
    return fullscreenOn(metrics, {0, 0, root.width, root.height});
}

FramePlacement fullscreenOn(const FrameMetrics& metrics, const Xcb::Rect& area) {
    const Xcb::Rect inside = clientInside({area.width, area.height}, metrics);
    return {area, {inside.width, inside.height}};
}

FramePlacement centredPlace(const Xcb::Size& client, const FrameMetrics& metrics, const Xcb::Size& root) {
    return centredOn(client, metrics, {0, 0, root.width, root.height});
}

FramePlacement centredOn(const Xcb::Size& client, const FrameMetrics& metrics, const Xcb::Rect& area) {
    const int side = metrics.frameBorderWidth + metrics.borderWidth;
    const int width = client.width + 2 * side;
    const int height =
        client.height + 2 * metrics.frameBorderWidth + metrics.titleHeight + metrics.borderWidth;
    return {{static_cast<int16_t>(area.x + (area.width - width) / 2),
             static_cast<int16_t>(area.y + (area.height - height) / 2),
             static_cast<uint16_t>(width - 2 * metrics.frameBorderWidth),
             static_cast<uint16_t>(height - 2 * metrics.frameBorderWidth)},
            client};
}

Xcb::Rect clientInside(const Xcb::Size& frame, const FrameMetrics& metrics) {
    const int border = metrics.borderWidth;
    return {static_cast<int16_t>(border), static_cast<int16_t>(metrics.titleHeight),
            clampSize(frame.width - 2 * border, 1),
            clampSize(frame.height - metrics.titleHeight - border, 1)};
}

ResizeStep resizeStep(const Xcb::Rect& frame, const Xcb::Size& client, const FrameMetrics& metrics,
                      bool leftBorder, int dx, int dy) {
    const int widthChange = leftBorder ? -dx : dx;
    const uint16_t frameWidth = clampSize(frame.width + widthChange, smallestFrameWidth(metrics));
    const uint16_t frameHeight = clampSize(frame.height + dy, smallestFrameHeight(metrics));
    // The client follows what the frame really did, so both stay in step at the limits.
    const int appliedWidth = frameWidth - frame.width;
    const int appliedHeight = frameHeight - frame.height;

    ResizeStep step;
    step.frame = frame;
    if (leftBorder) {
        step.frame.x = static_cast<int16_t>(frame.x - appliedWidth);
    }
    step.frame.width = frameWidth;
    step.frame.height = frameHeight;
    step.client = {clampSize(client.width + appliedWidth, 1), clampSize(client.height + appliedHeight, 1)};
    return step;
}

}  // namespace Velk
