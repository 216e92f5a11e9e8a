// RandR modes on outputs, CRTC configuration and the screen size, with outputs
// and CRTCs addressed by their index in the current screen resources.
#include <string>
#include <system_error>

#include "logger.h"
#include "xcb/xcb.h"

namespace Velk::Xcb {

namespace {

using Resources = xcb_randr_get_screen_resources_current_reply_t;
using OutputInfo = xcb_randr_get_output_info_reply_t;

constexpr uint16_t rotateNormal = XCB_RANDR_ROTATION_ROTATE_0;
constexpr double millimetresPerInch = 25.4;
constexpr uint16_t fallbackDpi = 96;

// Id of the first mode of the resources with that size; 0 when none.
xcb_randr_mode_t findModeBySize(const Resources& resources, uint16_t width, uint16_t height) {
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(&resources);
    const int count = xcb_randr_get_screen_resources_current_modes_length(&resources);
    for (int index = 0; index < count; ++index) {
        if (modes[index].width == width && modes[index].height == height) {
            return modes[index].id;
        }
    }
    return 0;
}

// Id of the first mode of the output with that size; 0 when none.
xcb_randr_mode_t findOutputModeBySize(const Resources& resources, const OutputInfo& output, uint16_t width,
                                      uint16_t height) {
    const xcb_randr_mode_t* outputModes = xcb_randr_get_output_info_modes(&output);
    const int outputCount = xcb_randr_get_output_info_modes_length(&output);
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(&resources);
    const int count = xcb_randr_get_screen_resources_current_modes_length(&resources);
    for (int outputIndex = 0; outputIndex < outputCount; ++outputIndex) {
        for (int index = 0; index < count; ++index) {
            const auto& mode = modes[index];
            if (mode.id == outputModes[outputIndex] && mode.width == width && mode.height == height) {
                return mode.id;
            }
        }
    }
    return 0;
}

// The names block holds each mode's name in mode order, without separators.
xcb_randr_mode_t findModeByName(const Resources& resources, std::string_view name) {
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(&resources);
    const int count = xcb_randr_get_screen_resources_current_modes_length(&resources);
    const char* names =
        reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(&resources));
    for (int index = 0; index < count; ++index) {
        const std::string_view modeName(names, modes[index].name_len);
        if (modeName == name) {
            return modes[index].id;
        }
        names += modes[index].name_len;
    }
    return 0;
}

// Logs an empty list or an index past its end; true when the index fits.
bool indexFits(int count, uint16_t index, const char* caller, const char* emptyText, const char* rangeText) {
    if (count <= 0) {
        Syslog::error("%s: %s", caller, emptyText);
        return false;
    }
    if (index >= count) {
        Syslog::error("%s: %s", caller, rangeText);
        return false;
    }
    return true;
}

// The screen's mode of that size, or a new one made for it; 0 when neither.
xcb_randr_mode_t modeOfSize(const Connector& connector, const Resources& resources, uint16_t width,
                            uint16_t height) {
    if (const xcb_randr_mode_t known = findModeBySize(resources, width, height)) {
        return known;
    }
    try {
        return connector.cvtCreateMode(width, height, 60);
    } catch (const std::string& name) {
        // The server already has a mode of that name, made for this size
        // from timings of another size.
        const auto existing = findModeByName(resources, name);
        if (existing) {
            Syslog::info("%s: also found mode: %s, id: %u", "randrOutputModeAdd", name.c_str(), existing);
        } else {
            Syslog::error("%s: %s failed: %s", "randrOutputModeAdd", "xcb_randr_create_mode", name.c_str());
        }
        return existing;
    } catch (const std::system_error& err) {
        Syslog::error("%s: system error: %s", "randrOutputModeAdd", err.what());
    } catch (const std::exception& err) {
        Syslog::error("%s: exception: %s", "randrOutputModeAdd", err.what());
    }
    return 0;
}

}  // namespace

GenericReply<Resources> Connector::randrCurrentScreenResources() {
    const auto cookie = xcb_randr_get_screen_resources_current(conn.get(), windowRoot());
    const auto [resources, error] =
        getReply1(xcb_randr_get_screen_resources_current_reply, conn.get(), cookie);
    if (error) {
        toSyslogError(error, "randrCurrentScreenResources", "xcb_randr_get_screen_resources");
    }
    return resources;
}

GenericReply<xcb_randr_get_screen_info_reply_t> Connector::randrScreenInfo(std::string_view caller) const {
    const auto [info, error] = getReply1(xcb_randr_get_screen_info_reply, conn.get(),
                                         xcb_randr_get_screen_info(conn.get(), windowRoot()));
    if (error) {
        toSyslogError(error, caller, "xcb_randr_get_screen_info");
    }
    return info;
}

GenericReply<OutputInfo> Connector::randrOutputInfo(const Resources& resources, uint16_t output,
                                                    std::string_view caller) const {
    const xcb_randr_output_t id = xcb_randr_get_screen_resources_current_outputs(&resources)[output];
    const auto cookie = xcb_randr_get_output_info(conn.get(), id, resources.config_timestamp);
    const auto [info, error] = getReply1(xcb_randr_get_output_info_reply, conn.get(), cookie);
    if (error) {
        toSyslogError(error, caller, "xcb_randr_get_output_info");
    }
    return info;
}

bool Connector::randrSetCrtcConfig(const xcb_randr_get_screen_info_reply_t& info, xcb_randr_crtc_t crtc,
                                   int16_t x, int16_t y, xcb_randr_mode_t mode,
                                   const std::vector<xcb_randr_output_t>& outputs,
                                   std::string_view caller) const {
    const auto cookie =
        xcb_randr_set_crtc_config(conn.get(), crtc, XCB_CURRENT_TIME, info.config_timestamp, x, y, mode,
                                  rotateNormal, static_cast<uint32_t>(outputs.size()), outputs.data());
    const auto [reply, error] = getReply1(xcb_randr_set_crtc_config_reply, conn.get(), cookie);
    // Without a reply the connection is gone and the change did not happen.
    if (error || !reply) {
        toSyslogError(error, caller, "xcb_randr_set_crtc_config");
        return false;
    }
    return true;
}

xcb_randr_mode_t Connector::randrOutputModeAdd(uint16_t output, uint16_t width, uint16_t height) {
    Syslog::debug("%s: mode: [%u, %u], output: %u", "randrOutputModeAdd", width, height, output);
    if (!randrScreenInfo("randrOutputModeAdd")) {
        return 0;
    }
    const auto resources = randrCurrentScreenResources();
    if (!resources) {
        return 0;
    }
    if (!indexFits(xcb_randr_get_screen_resources_current_outputs_length(resources.get()), output,
                   "randrOutputModeAdd", "current OUTPUTs empty", "OUTPUT out of range")) {
        return 0;
    }
    const auto outputInfo = randrOutputInfo(*resources, output, "randrOutputModeAdd");
    if (!outputInfo) {
        return 0;
    }
    if (xcb_randr_get_screen_resources_current_modes_length(resources.get()) <= 0) {
        Syslog::error("%s: current MODEs empty", "randrOutputModeAdd");
        return 0;
    }

    if (xcb_randr_get_output_info_modes_length(outputInfo.get()) <= 0) {
        Syslog::debug("%s: output info MODEs empty", "randrOutputModeAdd");
    } else if (const auto present = findOutputModeBySize(*resources, *outputInfo, width, height)) {
        Syslog::debug("%s: mode present, id: %u", "randrOutputModeAdd", present);
        return present;
    }

    const xcb_randr_mode_t mode = modeOfSize(*this, *resources, width, height);
    if (!mode) {
        return 0;
    }

    const xcb_randr_output_t outputId =
        xcb_randr_get_screen_resources_current_outputs(resources.get())[output];
    if (!confirm(pending(xcb_randr_add_output_mode_checked(conn.get(), outputId, mode)), "randrOutputModeAdd",
                 " xcb_randr_add_output_mode")) {
        return 0;
    }
    return mode;
}

bool Connector::randrOutputModeDelete(uint16_t output, uint16_t width, uint16_t height) {
    Syslog::debug("%s: mode: [%u, %u], output: %u", "randrOutputModeDelete", width, height, output);
    if (!randrScreenInfo("randrOutputModeDelete")) {
        return false;
    }
    const auto resources = randrCurrentScreenResources();
    if (!resources) {
        return false;
    }
    if (!indexFits(xcb_randr_get_screen_resources_current_outputs_length(resources.get()), output,
                   "randrOutputModeDelete", "OUTPUTs empty", "OUTPUT out of range")) {
        return false;
    }
    const auto outputInfo = randrOutputInfo(*resources, output, "randrOutputModeDelete");
    if (!outputInfo) {
        return false;
    }

    const auto mode = findOutputModeBySize(*resources, *outputInfo, width, height);
    if (mode) {
        Syslog::debug("%s: mode present", "randrOutputModeDelete");
        // A mode that a CRTC still shows is refused by the server; the output
        // was found all the same, so that is only logged.
        const xcb_randr_output_t outputId =
            xcb_randr_get_screen_resources_current_outputs(resources.get())[output];
        confirm(pending(xcb_randr_delete_output_mode_checked(conn.get(), outputId, mode)),
                "randrOutputModeDelete", "xcb_randr_delete_output_mode");
    }
    return true;
}

bool Connector::randrCrtcConnectToOutputMode(uint16_t crtc, uint16_t output, int16_t x, int16_t y,
                                             uint16_t width, uint16_t height, xcb_randr_mode_t mode,
                                             bool primary) {
    const char* const caller = "randrCrtcConnectToOutputMode";
    Syslog::debug("%s: area: [%d, %d, %u, %u], crtc: %u, output: %u, mode: %u", caller, x, y, width, height,
                  crtc, output, mode);
    const auto info = randrScreenInfo(caller);
    if (!info) {
        return false;
    }
    const auto resources = randrCurrentScreenResources();
    if (!resources) {
        return false;
    }
    if (!indexFits(xcb_randr_get_screen_resources_current_crtcs_length(resources.get()), crtc, caller,
                   "CRTCs empty", "CRTC out of range")) {
        return false;
    }
    if (mode == 0) {
        mode = findModeBySize(*resources, width, height);
        if (mode == 0) {
            Syslog::error("%s: MODE not found, [%u, %u]", caller, width, height);
            return false;
        }
    }
    if (!indexFits(xcb_randr_get_screen_resources_current_outputs_length(resources.get()), output, caller,
                   "OUTPUTs empty", "OUTPUT out of range")) {
        return false;
    }

    const xcb_randr_crtc_t crtcId = xcb_randr_get_screen_resources_current_crtcs(resources.get())[crtc];
    const xcb_randr_output_t outputId =
        xcb_randr_get_screen_resources_current_outputs(resources.get())[output];
    if (!randrSetCrtcConfig(*info, crtcId, x, y, mode, {outputId}, caller)) {
        return false;
    }
    if (primary) {
        confirm(pending(xcb_randr_set_output_primary_checked(conn.get(), windowRoot(), outputId)), caller,
                "xcb_randr_set_output_primary");
    }
    return true;
}

bool Connector::randrCrtcDisconnect(uint16_t crtc) {
    Syslog::debug("%s, crtcId: %u", "randrCrtcDisconnect", crtc);
    const auto info = randrScreenInfo("randrCrtcDisconnect");
    if (!info) {
        return false;
    }
    const auto resources = randrCurrentScreenResources();
    if (!resources) {
        return false;
    }
    if (!indexFits(xcb_randr_get_screen_resources_current_crtcs_length(resources.get()), crtc,
                   "randrCrtcDisconnect", "CRTCs empty", "CRTC out of range")) {
        return false;
    }
    const xcb_randr_crtc_t crtcId = xcb_randr_get_screen_resources_current_crtcs(resources.get())[crtc];
    return randrSetCrtcConfig(*info, crtcId, 0, 0, XCB_NONE, {}, "randrCrtcDisconnect");
}

bool Connector::randrSetScreenSize(uint16_t width, uint16_t height, uint16_t dpi) {
    if (width % 8 != 0) {
        width = static_cast<uint16_t>(width + 8 - width % 8);
    }
    Syslog::debug("%s: mode: [%u, %u], dpi: %u", "randrSetScreenSize", width, height, dpi);
    if (dpi == 0) {
        Syslog::warning("%s: dpi 0, millimetres for: %u", "randrSetScreenSize", fallbackDpi);
        dpi = fallbackDpi;
    }
    // Truncated toward zero, then cut to the request's 16 bits.
    const auto widthMm = static_cast<uint16_t>(static_cast<uint32_t>(width * millimetresPerInch / dpi));
    const auto heightMm = static_cast<uint16_t>(static_cast<uint32_t>(height * millimetresPerInch / dpi));

    return confirm(pending(xcb_randr_set_screen_size_checked(conn.get(), windowRoot(), width, height, widthMm,
                                                             heightMm)),
                   "randrSetScreenSize", "xcb_randr_set_screen_size_checked");
}

std::vector<xcb_randr_screen_size_t> Connector::getScreenSizes() const {
    const auto info = randrScreenInfo("getScreenSizes");
    if (!info) {
        return {};
    }
    const xcb_randr_screen_size_t* sizes = xcb_randr_get_screen_info_sizes(info.get());
    return {sizes, sizes + xcb_randr_get_screen_info_sizes_length(info.get())};
}

}  // namespace Velk::Xcb
