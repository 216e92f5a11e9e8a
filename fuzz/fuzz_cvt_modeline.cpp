// The calculator's output as the connector reads it: the mode line, its
// pixel clock and, at clocks the connector accepts, the mode record.  The
// number readers' std::invalid_argument and std::out_of_range, and the
// substring's std::out_of_range for an output without a mode line, are the
// documented outcomes of bad output.
#include <stdexcept>

#include "fuzz_support.h"
#include "xcb/parsers.h"

using VelkFuzz::require;

namespace {

constexpr float maxPixelClockMHz = 300.0F;

bool knownFlags(uint32_t flags) {
    const uint32_t hsync = flags & 3U;
    const uint32_t vsync = flags & 12U;
    return (flags & ~15U) == 0 && hsync != 3U && vsync != 12U;
}

void parseModeline(const std::string& modeline) {
    if (Velk::Xcb::cvtPixelClockMHz(modeline) > maxPixelClockMHz) {
        return;
    }
    const auto mode = Velk::Xcb::cvtModeInfo(modeline);
    if (mode) {
        require(knownFlags(mode->mode_flags), "only the four sync flags, one per direction");
        require(mode->id == 0 && mode->hskew == 0 && mode->name_len == 0, "id, skew and name are not read");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VelkFuzz::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string output(reinterpret_cast<const char*>(data), size);
    std::string modeline;
    try {
        modeline = Velk::Xcb::cvtModeline(output);
    } catch (const std::out_of_range&) {
        require(output.find("Modeline") == std::string::npos, "a mode line is found");
        return 0;
    }
    require(modeline.rfind("Modeline", 0) == 0, "the mode line starts at its keyword");

    try {
        parseModeline(modeline);
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return 0;
}
