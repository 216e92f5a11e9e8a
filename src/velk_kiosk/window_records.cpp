// Look-ups over the managed windows' records.
#include "velk_kiosk/window_records.h"

#include <utility>

namespace Velk {

namespace {

template <typename Index>
auto findIn(Index& index, uint32_t key) -> decltype(&*index.begin()->second) {
    const auto found = index.find(key);
    return found == index.end() ? nullptr : &*found->second;
}

}  // namespace

WmWindow& WindowList::admit(uint32_t win) {
    windows.emplace_front(win);
    byClient[win] = windows.begin();
    changes.push_back({win, true});
    return windows.front();
}

WmWindow* WindowList::findByClient(uint32_t win) {
    return findIn(byClient, win);
}

const WmWindow* WindowList::findByClient(uint32_t win) const {
    return findIn(byClient, win);
}

WmWindow* WindowList::findByFrame(uint32_t frame) {
    return frame == 0 ? nullptr : findIn(byFrame, frame);
}

const WmWindow* WindowList::findByFrame(uint32_t frame) const {
    return frame == 0 ? nullptr : findIn(byFrame, frame);
}

WmWindow* WindowList::findFramed(uint32_t win, uint32_t frame) {
    WmWindow* window = findByFrame(frame);
    return window && window->win == win ? window : nullptr;
}

void WindowList::setFrame(WmWindow& window, uint32_t frame) {
    if (window.frame != 0) {
        byFrame.erase(window.frame);
    }
    window.frame = frame;
    if (frame != 0) {
        byFrame[frame] = byClient.at(window.win);
    }
}

void WindowList::remove(const WmWindow& window) {
    const auto found = byClient.find(window.win);
    if (found == byClient.end() || &*found->second != &window) {
        return;
    }
    const Position position = found->second;
    byClient.erase(found);
    if (window.frame != 0) {
        byFrame.erase(window.frame);
    }
    changes.push_back({window.win, false});
    windows.erase(position);
}

std::vector<WindowList::Change> WindowList::takeChanges() {
    return std::exchange(changes, {});
}

}  // namespace Velk
