// Windows and monitors: the monitor a window is held on (the one its rule
// names, else the one it was mostly on), the area it is held in, the
// monitors a full-screen window spans, and the windows laid out anew when
// RandR changes the monitors: those of a monitor that changed on it as it is
// now, those of a monitor that went on one that remains.
#include <utility>

#include "logger.h"
#include "velk_kiosk/monitor_reader.h"
#include "velk_kiosk/placement.h"

namespace Velk {

namespace {

bool sameArea(const Xcb::Rect& first, const Xcb::Rect& second) {
    return first.x == second.x && first.y == second.y && first.width == second.width &&
           first.height == second.height;
}

// One axis: centred on the area when it fits, else at its start and cut to it.
void fitAxis(int16_t& position, uint16_t& size, int16_t start, uint16_t areaSize) {
    if (areaSize < size) {
        position = start;
        size = areaSize;
    } else {
        position = static_cast<int16_t>(start + (areaSize - size) / 2);
    }
}

}  // namespace

size_t Placement::monitorOf(const WmWindow& window) const {
    if (!window.ruleMonitor.empty()) {
        if (const std::optional<size_t> ruled = monitors.find(window.ruleMonitor)) {
            return *ruled;
        }
    }
    const std::optional<size_t> named = monitors.named(window.monitor);
    return named ? *named : monitors.primary();
}

std::string Placement::chooseMonitor(const WmWindow& window, const Xcb::Rect& where) const {
    if (!window.ruleMonitor.empty()) {
        if (const std::optional<size_t> ruled = monitors.find(window.ruleMonitor)) {
            return monitors.at(*ruled).name;
        }
    }
    return monitors.at(monitors.mostlyOn(where)).name;
}

Xcb::Rect Placement::heldArea(const WmWindow& window) const {
    const size_t index = monitorOf(window);
    if (!window.states.fullscreen) {
        return monitors.workArea(index);
    }
    if (window.fullscreenMonitors) {
        if (const std::optional<Xcb::Rect> spanned = monitors.spanning(*window.fullscreenMonitors)) {
            return *spanned;
        }
    }
    return monitors.at(index).area;
}

bool Placement::refreshMonitors() {
    Monitors next = monitors;
    next.replace(readMonitors(connector), rootSize.size());
    if (next.list() == monitors.list() && sameArea(next.rootWorkArea(), monitors.rootWorkArea())) {
        return false;
    }
    const Monitors before = std::exchange(monitors, std::move(next));
    relayoutMonitors(before);
    return true;
}

// Every geometry is read in one round trip and every change confirmed in
// another, whatever the number of windows.  Windows held in place take their
// monitor as it is now; the others move only when the monitor they were
// mostly on changed or went: centred on it (or on the one that takes its
// windows), or cut to it.
void Placement::relayoutMonitors(const Monitors& before) {
    std::vector<std::optional<Xcb::PendingGeometry>> reads;
    for (WmWindow& window : windows.records()) {
        if (!monitors.named(window.monitor)) {
            const std::optional<size_t> was = before.named(window.monitor);
            window.monitor =
                monitors.at(was ? monitors.mostlyOn(before.at(*was).area) : monitors.primary()).name;
        }
        decorate(window);
        reads.emplace_back();
        if (!heldPlace(window) && window.hints.type != WindowType::Dock) {
            reads.back().emplace(connector.requestGeometry(window.frame != 0 ? window.frame : window.win));
        }
    }
    PendingConfigures changes;
    auto read = reads.begin();
    for (WmWindow& window : windows.records()) {
        const std::optional<FramePlacement> held = heldPlace(window);
        const std::optional<Xcb::Rect> target =
            held ? std::optional<Xcb::Rect>(held->frame)
                 : (*read ? movedOnto(Xcb::Connector::collectGeometry(std::move(**read)), before)
                          : std::nullopt);
        ++read;
        if (!target) {
            continue;
        }
        requestLayout(window, *target, clientInside({target->width, target->height}, window.metrics()),
                      changes);
        clientEwmh.publish(window);
        // A frame that only moved is not exposed where it stays visible.
        framer.repaint(window);
    }
    for (auto& change : changes) {
        connector.confirmConfigure(std::move(change), "relayoutMonitors");
    }
}

std::optional<Xcb::Rect> Placement::movedOnto(const Xcb::Rect& frame, const Monitors& before) const {
    const Monitor& was = before.at(before.mostlyOn(frame));
    const std::optional<size_t> now = monitors.named(was.name);
    if (now && sameArea(monitors.at(*now).area, was.area)) {
        return std::nullopt;
    }
    const Xcb::Rect area = monitors.workArea(now ? *now : monitors.mostlyOn(was.area));
    Xcb::Rect target = frame;
    fitAxis(target.x, target.width, area.x, area.width);
    fitAxis(target.y, target.height, area.y, area.height);
    return target;
}

void Placement::setFullscreenMonitors(xcb_window_t win, const std::array<uint32_t, 4>& edges) {
    WmWindow* window = windows.findByClient(win);
    if (!window) {
        Syslog::debug("%s: window: %08x, not managed", "setFullscreenMonitors", win);
        return;
    }
    Syslog::info("%s: window: %08x, top: %u, bottom: %u, left: %u, right: %u", "setFullscreenMonitors", win,
                 edges[0], edges[1], edges[2], edges[3]);
    window->fullscreenMonitors = edges;
    clientEwmh.publish(*window);
    if (window->states.fullscreen) {
        applyLayout(*window, heldPlace(*window)->frame);
    }
}

}  // namespace Velk
