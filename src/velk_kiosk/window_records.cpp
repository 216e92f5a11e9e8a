// Look-ups over the managed windows' records.
#include "velk_kiosk/window_records.h"

#include <algorithm>

namespace Velk {

namespace {

template <typename Predicate>
WmWindow* findIn(std::list<WmWindow>& windows, Predicate matches) {
    const auto found = std::find_if(windows.begin(), windows.end(), matches);
    return found == windows.end() ? nullptr : &*found;
}

}  // namespace

WmWindow& WindowList::admit(uint32_t win) {
    return windows.emplace_front(win);
}

WmWindow* WindowList::findByClient(uint32_t win) {
    return findIn(windows, [win](const WmWindow& window) { return window.win == win; });
}

WmWindow* WindowList::findByFrame(uint32_t frame) {
    return findIn(windows,
                  [frame](const WmWindow& window) { return window.frame != 0 && window.frame == frame; });
}

WmWindow* WindowList::findFramed(uint32_t win, uint32_t frame) {
    return findIn(windows, [win, frame](const WmWindow& window) {
        return window.frame != 0 && window.win == win && window.frame == frame;
    });
}

void WindowList::remove(const WmWindow& window) {
    windows.remove_if([&window](const WmWindow& kept) { return &kept == &window; });
}

}  // namespace Velk
