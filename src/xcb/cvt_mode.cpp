// A new RandR mode from the timings of the external calculator /usr/bin/cvt,
// at a lower refresh when the pixel clock would be too high for the outputs.
#include <sstream>

#include "logger.h"
#include "utils/process.h"
#include "xcb/xcb.h"

namespace Velk::Xcb {

namespace {

constexpr float maxPixelClockMHz = 300.0F;

// RandR ModeFlag bits.
constexpr uint32_t hsyncPositive = 1;
constexpr uint32_t hsyncNegative = 2;
constexpr uint32_t vsyncPositive = 4;
constexpr uint32_t vsyncNegative = 8;

int lowerRefresh(int refresh) {
    return refresh <= 9 ? refresh - 1 : refresh - 5;
}

std::string nextToken(std::istream& tokens) {
    std::string token;
    tokens >> token;
    return token;
}

// Truncated toward zero, then cut to 16 bits.
uint16_t timingValue(std::istream& tokens) {
    return static_cast<uint16_t>(static_cast<int64_t>(std::stod(nextToken(tokens))));
}

uint32_t syncFlags(const std::string& hsync, const std::string& vsync) {
    uint32_t flags = 0;
    if (hsync == "-hsync") {
        flags = hsyncNegative;
    } else if (hsync == "+hsync") {
        flags = hsyncPositive;
    }
    if (vsync == "-vsync") {
        flags |= vsyncNegative;
    } else if (vsync == "+vsync") {
        flags |= vsyncPositive;
    }
    return flags;
}

}  // namespace

xcb_randr_mode_t Connector::cvtCreateMode(uint16_t width, uint16_t height, int vertRefresh) const {
    if (vertRefresh <= 0) {
        Syslog::error("%s: vertRef incorrect", "cvtCreateMode");
        throw xcb_error("cvtCreateMode");
    }

    const std::string output = Utils::runStdoutCommand(
        "/usr/bin/cvt", {std::to_string(width), std::to_string(height), std::to_string(vertRefresh)});
    // No mode line: substr throws std::out_of_range, which the caller handles.
    const std::string modeline = output.substr(output.find("Modeline"));
    Syslog::debug("%s: %s", "cvtCreateMode", modeline.c_str());

    std::istringstream tokens(modeline);
    nextToken(tokens);  // "Modeline"
    nextToken(tokens);  // the calculator's quoted name
    const float clockMHz = std::stof(nextToken(tokens));
    if (clockMHz > maxPixelClockMHz) {
        return cvtCreateMode(width, height, lowerRefresh(vertRefresh));
    }

    xcb_randr_mode_info_t mode{};
    mode.dot_clock = static_cast<uint32_t>(clockMHz * 1000000.0F);
    mode.width = timingValue(tokens);
    mode.hsync_start = timingValue(tokens);
    mode.hsync_end = timingValue(tokens);
    mode.htotal = timingValue(tokens);
    mode.height = timingValue(tokens);
    mode.vsync_start = timingValue(tokens);
    mode.vsync_end = timingValue(tokens);
    mode.vtotal = timingValue(tokens);
    const std::string hsync = nextToken(tokens);
    const std::string vsync = nextToken(tokens);
    if (vsync.empty()) {
        Syslog::error("%s: sync flags not found", "cvtCreateMode");
        throw xcb_error("cvtCreateMode");
    }
    mode.mode_flags = syncFlags(hsync, vsync);

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
