// The kiosk's stacking order; see stacking_order.h.
#include "velk_kiosk/stacking_order.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <unordered_set>

namespace Velk {

namespace {

constexpr size_t noIndex = std::numeric_limits<size_t>::max();

size_t slot(Layer layer) {
    return static_cast<size_t>(layer);
}

void eraseValue(std::unordered_map<xcb_window_t, std::vector<xcb_window_t>>& index, xcb_window_t key,
                xcb_window_t win) {
    const auto found = index.find(key);
    if (found == index.end()) {
        return;
    }
    std::vector<xcb_window_t>& list = found->second;
    list.erase(std::remove(list.begin(), list.end(), win), list.end());
    if (list.empty()) {
        index.erase(found);
    }
}

}  // namespace

std::vector<Restack> StackingOrder::add(xcb_window_t win, const StackFacts& facts) {
    if (contains(win)) {
        return update(win, facts);
    }
    Node& node = nodes[win];
    node.facts = facts;
    if (wouldLoop(win, facts.transientFor)) {
        node.facts.transientFor = 0;
    }
    link(win);
    return move(win, Anchor::Top, 0);
}

void StackingOrder::remove(xcb_window_t win) {
    if (!contains(win)) {
        return;
    }
    const size_t index = indexOf(win);
    if (index != noIndex) {
        eraseAt(index);
    }
    unlink(win);
    nodes.erase(win);
}

std::vector<Restack> StackingOrder::raise(xcb_window_t win) {
    return move(win, Anchor::Top, 0);
}

std::vector<Restack> StackingOrder::lower(xcb_window_t win) {
    return move(win, Anchor::Bottom, 0);
}

std::vector<Restack> StackingOrder::restackBy(xcb_window_t win, xcb_window_t sibling, bool above) {
    return move(win, above ? Anchor::AboveSibling : Anchor::BelowSibling, sibling);
}

std::vector<Restack> StackingOrder::update(xcb_window_t win, const StackFacts& facts) {
    const auto found = nodes.find(win);
    if (found == nodes.end()) {
        return {};
    }
    StackFacts checked = facts;
    if (wouldLoop(win, checked.transientFor)) {
        checked.transientFor = 0;
    }
    if (found->second.facts == checked) {
        return {};
    }
    unlink(win);
    found->second.facts = checked;
    link(win);
    return move(win, Anchor::Top, 0);
}

// The family leaves the order and comes back: the windows of the anchor's
// layer together at the anchor, the transients of higher layers on top of
// theirs.  Unchanged when every window comes back to where it was.
std::vector<Restack> StackingOrder::move(xcb_window_t win, Anchor anchor, xcb_window_t sibling) {
    if (!contains(win)) {
        return {};
    }
    const size_t prefixBefore = unchangedPrefix;
    const std::vector<xcb_window_t> moved = family(win);
    std::vector<size_t> before(moved.size());
    std::transform(moved.begin(), moved.end(), before.begin(),
                   [this](xcb_window_t member) { return indexOf(member); });
    for (const xcb_window_t member : moved) {
        const size_t index = indexOf(member);
        if (index != noIndex) {
            eraseAt(index);
        }
    }
    for (const xcb_window_t member : moved) {
        nodes.at(member).layer = layerOf(member);
    }
    const Layer home = nodes.at(win).layer;
    size_t at = std::max(anchorIndex(home, anchor, sibling), lowestAbove(moved, home));
    for (const xcb_window_t member : moved) {
        const Layer layer = nodes.at(member).layer;
        insertAt(layer == home ? at++ : layerEnd(layer), member, layer);
    }
    bool changed = false;
    for (size_t member = 0; member < moved.size() && !changed; ++member) {
        changed = indexOf(moved[member]) != before[member];
    }
    if (!changed) {
        unchangedPrefix = prefixBefore;
        return {};
    }
    return restacksOf(moved);
}

// The window and everything that belongs to it, each window before those
// that belong to it, siblings bottom to top.
std::vector<xcb_window_t> StackingOrder::family(xcb_window_t win) const {
    std::vector<xcb_window_t> postorder;
    std::unordered_set<xcb_window_t> seen;
    const std::function<void(xcb_window_t)> visit = [&](xcb_window_t member) {
        if (!seen.insert(member).second) {
            return;
        }
        const std::vector<xcb_window_t> below = transientsOf(member);
        for (auto child = below.rbegin(); child != below.rend(); ++child) {
            visit(*child);
        }
        postorder.push_back(member);
    };
    visit(win);
    return {postorder.rbegin(), postorder.rend()};
}

std::vector<xcb_window_t> StackingOrder::transientsOf(xcb_window_t win) const {
    std::vector<xcb_window_t> found;
    const auto direct = transients.find(win);
    if (direct != transients.end()) {
        found = direct->second;
    }
    const Node& node = nodes.at(win);
    const auto group = node.facts.groupDialog ? groups.end() : groups.find(node.facts.group);
    if (group != groups.end()) {
        for (const xcb_window_t member : group->second) {
            if (member != win && nodes.at(member).facts.groupDialog) {
                found.push_back(member);
            }
        }
    }
    std::vector<std::pair<size_t, xcb_window_t>> ranked = rankedByPlace(found);
    std::sort(ranked.begin(), ranked.end());
    std::vector<xcb_window_t> sorted(ranked.size());
    std::transform(ranked.begin(), ranked.end(), sorted.begin(),
                   [](const auto& entry) { return entry.second; });
    return sorted;
}

std::vector<std::pair<size_t, xcb_window_t>> StackingOrder::rankedByPlace(
    const std::vector<xcb_window_t>& members) const {
    std::vector<std::pair<size_t, xcb_window_t>> ranked(members.size());
    std::transform(members.begin(), members.end(), ranked.begin(),
                   [this](xcb_window_t member) { return std::make_pair(indexOf(member), member); });
    return ranked;
}

// A group dialog belongs to the windows of its group that are no group
// dialogs themselves.
std::vector<xcb_window_t> StackingOrder::parentsOf(xcb_window_t win) const {
    const StackFacts& facts = nodes.at(win).facts;
    if (facts.transientFor != 0) {
        return contains(facts.transientFor) ? std::vector<xcb_window_t>{facts.transientFor}
                                            : std::vector<xcb_window_t>{};
    }
    std::vector<xcb_window_t> parents;
    const auto group = facts.groupDialog ? groups.find(facts.group) : groups.end();
    if (group != groups.end()) {
        for (const xcb_window_t member : group->second) {
            if (member != win && !nodes.at(member).facts.groupDialog) {
                parents.push_back(member);
            }
        }
    }
    return parents;
}

Layer StackingOrder::layerOf(xcb_window_t win) const {
    Layer layer = nodes.at(win).facts.layer;
    for (const xcb_window_t parent : parentsOf(win)) {
        layer = std::max(layer, nodes.at(parent).layer);
    }
    return layer;
}

// A sibling that is not managed, or moves itself, is no anchor: the window
// goes to the top or bottom of its layer.  A sibling in another layer
// stands for that layer's side.
size_t StackingOrder::anchorIndex(Layer layer, Anchor anchor, xcb_window_t sibling) const {
    const bool above = anchor == Anchor::Top || anchor == Anchor::AboveSibling;
    const size_t at =
        anchor == Anchor::AboveSibling || anchor == Anchor::BelowSibling ? indexOf(sibling) : noIndex;
    if (at == noIndex) {
        return above ? layerEnd(layer) : layerBegin(layer);
    }
    const Layer siblingLayer = nodes.at(sibling).layer;
    if (siblingLayer != layer) {
        return siblingLayer < layer ? layerBegin(layer) : layerEnd(layer);
    }
    return above ? at + 1 : at;
}

// Just above the highest window of the layer that a moved window belongs
// to and that does not move with it.
size_t StackingOrder::lowestAbove(const std::vector<xcb_window_t>& moved, Layer layer) const {
    size_t lowest = 0;
    for (const xcb_window_t member : moved) {
        if (nodes.at(member).layer != layer) {
            continue;
        }
        for (const xcb_window_t parent : parentsOf(member)) {
            const size_t at = indexOf(parent);
            if (at != noIndex && nodes.at(parent).layer == layer) {
                lowest = std::max(lowest, at + 1);
            }
        }
    }
    return lowest;
}

// Top down: each moved window right below the one now above it, which
// stands where it belongs already; the topmost one right above the nearest
// window below it that did not move, or at the bottom when all moved.
std::vector<Restack> StackingOrder::restacksOf(const std::vector<xcb_window_t>& moved) const {
    std::vector<std::pair<size_t, xcb_window_t>> ranked = rankedByPlace(moved);
    std::sort(ranked.rbegin(), ranked.rend());
    const std::unordered_set<xcb_window_t> moving(moved.begin(), moved.end());
    std::vector<Restack> restacks;
    for (const auto& [index, member] : ranked) {
        if (index + 1 < windows.size()) {
            restacks.push_back({member, windows[index + 1], false});
            continue;
        }
        xcb_window_t steady = 0;
        for (size_t below = index; below > 0 && steady == 0; --below) {
            if (moving.count(windows[below - 1]) == 0) {
                steady = windows[below - 1];
            }
        }
        restacks.push_back({member, steady, steady != 0});
    }
    return restacks;
}

void StackingOrder::link(xcb_window_t win) {
    const StackFacts& facts = nodes.at(win).facts;
    if (facts.transientFor != 0) {
        transients[facts.transientFor].push_back(win);
    }
    if (facts.group != 0) {
        groups[facts.group].push_back(win);
    }
}

void StackingOrder::unlink(xcb_window_t win) {
    const StackFacts& facts = nodes.at(win).facts;
    eraseValue(transients, facts.transientFor, win);
    eraseValue(groups, facts.group, win);
}

// WM_TRANSIENT_FOR chains are the clients' to make: one that comes back
// to the window itself is not followed.
bool StackingOrder::wouldLoop(xcb_window_t win, xcb_window_t parent) const {
    size_t steps = 0;
    for (xcb_window_t at = parent; at != 0 && steps <= nodes.size(); ++steps) {
        if (at == win) {
            return true;
        }
        const auto found = nodes.find(at);
        at = found == nodes.end() ? 0 : found->second.facts.transientFor;
    }
    return false;
}

// Searched from the top, where new and raised windows are.
size_t StackingOrder::indexOf(xcb_window_t win) const {
    const auto node = nodes.find(win);
    if (node == nodes.end() || !node->second.placed) {
        return noIndex;
    }
    const auto found = std::find(windows.rbegin(), windows.rend(), win);
    return found == windows.rend() ? noIndex : static_cast<size_t>(windows.rend() - found) - 1;
}

size_t StackingOrder::layerBegin(Layer layer) const {
    size_t begin = 0;
    for (size_t below = 0; below < slot(layer); ++below) {
        begin += layerSizes[below];
    }
    return begin;
}

size_t StackingOrder::layerEnd(Layer layer) const {
    return layerBegin(layer) + layerSizes[slot(layer)];
}

void StackingOrder::insertAt(size_t index, xcb_window_t win, Layer layer) {
    windows.insert(windows.begin() + static_cast<std::ptrdiff_t>(index), win);
    nodes.at(win).placed = true;
    ++layerSizes[slot(layer)];
    unchangedPrefix = std::min(unchangedPrefix, index);
}

void StackingOrder::eraseAt(size_t index) {
    Node& node = nodes.at(windows[index]);
    --layerSizes[slot(node.layer)];
    node.placed = false;
    windows.erase(windows.begin() + static_cast<std::ptrdiff_t>(index));
    unchangedPrefix = std::min(unchangedPrefix, index);
}

size_t StackingOrder::takeUnchangedPrefix() {
    const size_t prefix = std::min(unchangedPrefix, windows.size());
    unchangedPrefix = windows.size();
    return prefix;
}

}  // namespace Velk
