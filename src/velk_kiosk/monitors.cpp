// Monitors, struts and work areas; see monitors.h.
#include "velk_kiosk/monitors.h"

#include <algorithm>
#include <cctype>

namespace Velk {

namespace {

// A rectangle as its edges, in 32 bits so that no sum wraps.
struct Edges {
    int64_t left;
    int64_t top;
    int64_t right;
    int64_t bottom;
};

Edges edgesOf(const Xcb::Rect& rect) {
    return {rect.x, rect.y, int64_t{rect.x} + rect.width, int64_t{rect.y} + rect.height};
}

Xcb::Rect rectOf(const Edges& edges) {
    return {static_cast<int16_t>(edges.left), static_cast<int16_t>(edges.top),
            static_cast<uint16_t>(edges.right - edges.left), static_cast<uint16_t>(edges.bottom - edges.top)};
}

bool overlaps(int64_t start, int64_t end, int64_t otherStart, int64_t otherEnd) {
    return start < otherEnd && otherStart < end;
}

int64_t overlap(int64_t start, int64_t end, int64_t otherStart, int64_t otherEnd) {
    return std::max<int64_t>(0, std::min(end, otherEnd) - std::max(start, otherStart));
}

// The area less each strut whose reserved band reaches into it; an edge that
// would pass the opposite one stays where it was.
Xcb::Rect lessStruts(const Xcb::Rect& area, const std::vector<Strut>& struts, const Xcb::Size& root) {
    Edges edges = edgesOf(area);
    const Edges whole = edges;
    for (const Strut& strut : struts) {
        if (strut.left > 0 && whole.left < strut.left &&
            overlaps(strut.leftStartY, int64_t{strut.leftEndY} + 1, whole.top, whole.bottom)) {
            edges.left = std::max<int64_t>(edges.left, strut.left);
        }
        const int64_t rightEdge = int64_t{root.width} - strut.right;
        if (strut.right > 0 && whole.right > rightEdge &&
            overlaps(strut.rightStartY, int64_t{strut.rightEndY} + 1, whole.top, whole.bottom)) {
            edges.right = std::min(edges.right, rightEdge);
        }
        if (strut.top > 0 && whole.top < strut.top &&
            overlaps(strut.topStartX, int64_t{strut.topEndX} + 1, whole.left, whole.right)) {
            edges.top = std::max<int64_t>(edges.top, strut.top);
        }
        const int64_t bottomEdge = int64_t{root.height} - strut.bottom;
        if (strut.bottom > 0 && whole.bottom > bottomEdge &&
            overlaps(strut.bottomStartX, int64_t{strut.bottomEndX} + 1, whole.left, whole.right)) {
            edges.bottom = std::min(edges.bottom, bottomEdge);
        }
    }
    if (edges.right <= edges.left) {
        edges.left = whole.left;
        edges.right = whole.right;
    }
    if (edges.bottom <= edges.top) {
        edges.top = whole.top;
        edges.bottom = whole.bottom;
    }
    return rectOf(edges);
}

constexpr size_t partialWords = 12;
constexpr size_t plainWords = 4;

}  // namespace

std::optional<Strut> strutOf(const std::vector<uint32_t>& partial, const std::vector<uint32_t>& plain,
                             const Xcb::Size& root) {
    if (partial.size() >= partialWords) {
        return Strut{partial[0], partial[1], partial[2], partial[3], partial[4],  partial[5],
                     partial[6], partial[7], partial[8], partial[9], partial[10], partial[11]};
    }
    if (plain.size() < plainWords) {
        return std::nullopt;
    }
    const uint32_t lastX = root.width > 0 ? root.width - 1U : 0U;
    const uint32_t lastY = root.height > 0 ? root.height - 1U : 0U;
    return Strut{plain[0], plain[1], plain[2], plain[3], 0, lastY, 0, lastY, 0, lastX, 0, lastX};
}

void Monitors::replace(std::vector<Monitor> list, const Xcb::Size& root) {
    rootSize = root;
    monitors = std::move(list);
    if (monitors.empty()) {
        monitors.push_back({"", {0, 0, root.width, root.height}, true});
    }
    computeWorkAreas();
}

bool Monitors::reserve(std::vector<Strut> struts) {
    const std::vector<Xcb::Rect> before = workAreas;
    const Xcb::Rect rootBefore = rootArea;
    reserved = std::move(struts);
    computeWorkAreas();
    const auto same = [](const Xcb::Rect& first, const Xcb::Rect& second) {
        return first.x == second.x && first.y == second.y && first.width == second.width &&
               first.height == second.height;
    };
    return !std::equal(before.begin(), before.end(), workAreas.begin(), workAreas.end(), same) ||
           !same(rootBefore, rootArea);
}

void Monitors::computeWorkAreas() {
    workAreas.clear();
    for (const Monitor& monitor : monitors) {
        workAreas.push_back(lessStruts(monitor.area, reserved, rootSize));
    }
    rootArea = lessStruts({0, 0, rootSize.width, rootSize.height}, reserved, rootSize);
}

size_t Monitors::primary() const {
    const auto found = std::find_if(monitors.begin(), monitors.end(),
                                    [](const Monitor& monitor) { return monitor.primary; });
    return found == monitors.end() ? 0 : static_cast<size_t>(found - monitors.begin());
}

std::optional<size_t> Monitors::named(std::string_view name) const {
    const auto found = std::find_if(monitors.begin(), monitors.end(),
                                    [&](const Monitor& monitor) { return monitor.name == name; });
    return found == monitors.end() ? std::nullopt
                                   : std::optional<size_t>(static_cast<size_t>(found - monitors.begin()));
}

std::optional<size_t> Monitors::find(std::string_view wanted) const {
    if (wanted == "primary") {
        return primary();
    }
    if (std::optional<size_t> byName = named(wanted)) {
        return byName;
    }
    if (wanted.empty() || wanted.size() > 4 || !std::all_of(wanted.begin(), wanted.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        })) {
        return std::nullopt;
    }
    const size_t index = std::stoul(std::string(wanted));
    return index < monitors.size() ? std::optional<size_t>(index) : std::nullopt;
}

size_t Monitors::mostlyOn(const Xcb::Rect& rect) const {
    const Edges edges = edgesOf(rect);
    int64_t best = 0;
    size_t chosen = primary();
    for (size_t index = 0; index < monitors.size(); ++index) {
        const Edges area = edgesOf(monitors[index].area);
        const int64_t shared = overlap(edges.left, edges.right, area.left, area.right) *
                               overlap(edges.top, edges.bottom, area.top, area.bottom);
        if (shared > best) {
            best = shared;
            chosen = index;
        }
    }
    return chosen;
}

std::optional<Xcb::Rect> Monitors::spanning(const std::array<uint32_t, 4>& edges) const {
    for (const uint32_t index : edges) {
        if (index >= monitors.size()) {
            return std::nullopt;
        }
    }
    const auto [top, bottom, left, right] = edges;
    const Edges box{edgesOf(monitors[left].area).left, edgesOf(monitors[top].area).top,
                    edgesOf(monitors[right].area).right, edgesOf(monitors[bottom].area).bottom};
    if (box.right <= box.left || box.bottom <= box.top) {
        return std::nullopt;
    }
    return rectOf(box);
}

Xcb::Rect keptOnMonitor(const Xcb::Rect& frame, const Monitors& monitors) {
    const Xcb::Rect area = monitors.workArea(monitors.mostlyOn(frame));
    if (frame.width > area.width || frame.height > area.height) {
        return frame;
    }
    Xcb::Rect kept = frame;
    kept.x = static_cast<int16_t>(std::clamp<int>(frame.x, area.x, area.x + area.width - frame.width));
    kept.y = static_cast<int16_t>(std::clamp<int>(frame.y, area.y, area.y + area.height - frame.height));
    return kept;
}

}  // namespace Velk
