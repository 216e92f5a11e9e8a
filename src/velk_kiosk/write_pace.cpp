// See write_pace.h.
#include "velk_kiosk/write_pace.h"

namespace Velk {

void WritePace::offer(Clock::time_point now, const std::function<bool()>& write) {
    if (lastWrite && now < *lastWrite + gap) {
        owed = true;
        return;
    }
    owed = false;
    if (write()) {
        lastWrite = now;
    }
}

std::optional<WritePace::Clock::time_point> WritePace::dueAt() const {
    if (!owed) {
        return std::nullopt;
    }
    return *lastWrite + gap;
}

}  // namespace Velk
