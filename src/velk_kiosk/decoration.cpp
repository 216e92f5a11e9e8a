// The decoration a window gets; see decoration.h.
#include "velk_kiosk/decoration.h"

namespace Velk {

namespace {

constexpr uint16_t titleBarHeight = 18;
constexpr uint16_t borderSize = 3;

}  // namespace

FrameMetrics decorationOf(const DecorationWishes& wishes) {
    if (wishes.integrityMode || !wishes.ruleTitlebar || wishes.clientUndecorated || wishes.splash ||
        wishes.dock) {
        return {};
    }
    const bool border = wishes.ruleBorder && !wishes.ruleFullscreen;
    return {0, border ? borderSize : uint16_t{0}, titleBarHeight};
}

FrameMetrics fittedDecoration(const FrameMetrics& metrics, const std::optional<Xcb::Size>& fixedSize,
                              const Xcb::Size& root) {
    if (!fixedSize) {
        return metrics;
    }
    const int side = metrics.frameBorderWidth + metrics.borderWidth;
    const int width = fixedSize->width + 2 * side;
    const int height =
        fixedSize->height + 2 * metrics.frameBorderWidth + metrics.titleHeight + metrics.borderWidth;
    return width <= root.width && height <= root.height ? metrics : FrameMetrics{};
}

}  // namespace Velk
