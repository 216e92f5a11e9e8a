// A new RandR mode from the timings of the external calculator /usr/bin/cvt,
// at a lower refresh when the pixel clock would be too high for the outputs.
#include "logger.h"
#include "utils/process.h"
#include "xcb/parsers.h"
#include "xcb/xcb.h"

namespace Velk::Xcb {

namespace {

constexpr float maxPixelClockMHz = 300.0F;

int lowerRefresh(int refresh) {
    return refresh <= 9 ? refresh - 1 : refresh - 5;
}

}  // namespace

xcb_randr_mode_t Connector::cvtCreateMode(uint16_t width, uint16_t height, int vertRefresh) const {
    if (vertRefresh <= 0) {
        Syslog::error("%s: vertRef incorrect", "cvtCreateMode");
        throw xcb_error("cvtCreateMode");
    }

    const std::string output = Utils::runStdoutCommand(
        "/usr/bin/cvt", {std::to_string(width), std::to_string(height), std::to_string(vertRefresh)});
    // No mode line: std::out_of_range, which the caller handles.
    const std::string modeline = cvtModeline(output);
    Syslog::debug("%s: %s", "cvtCreateMode", modeline.c_str());

    if (cvtPixelClockMHz(modeline) > maxPixelClockMHz) {
        return cvtCreateMode(width, height, lowerRefresh(vertRefresh));
    }

    auto parsed = cvtModeInfo(modeline);
    if (!parsed) {
        Syslog::error("%s: sync flags not found", "cvtCreateMode");
        throw xcb_error("cvtCreateMode");
    }
    xcb_randr_mode_info_t& mode = *parsed;

    // Named after the requested size and 60 Hz whatever the timings ended at,
    // so a later request for the same size finds it by name.
    const std::string name = std::to_string(width) + "x" + std::to_string(height) + "_60";
    mode.name_len = static_cast<uint16_t>(name.size());

    const auto cookie = xcb_randr_create_mode(conn.get(), windowRoot(), mode, mode.name_len, name.data());
    const auto [created, error] = getReply1(xcb_randr_create_mode_reply, conn.get(), cookie);
    if (error) {
        Syslog::error("%s: %s failed", "cvtCreateMode", "xcb_randr_create_mode");
        throw name;
    }
    if (!created) {
        Syslog::error("%s: no reply to create the mode", "cvtCreateMode");
        throw xcb_error("cvtCreateMode");
    }
    return created->mode;
}

}  // namespace Velk::Xcb
