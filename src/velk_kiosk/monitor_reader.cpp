// The monitors read off the server; see monitor_reader.h.
#include "velk_kiosk/monitor_reader.h"

#include <xcb/randr.h>

#include <string>
#include <utility>

#include "logger.h"

namespace Velk {

namespace {

using PendingAtomName = Xcb::PendingReply<xcb_get_atom_name_cookie_t>;
using PendingCrtc = Xcb::PendingReply<xcb_randr_get_crtc_info_cookie_t>;
using PendingOutput = Xcb::PendingReply<xcb_randr_get_output_info_cookie_t>;

std::string atomName(PendingAtomName read) {
    const auto [reply, error] = read.reply(xcb_get_atom_name_reply);
    if (!reply) {
        return {};
    }
    return {xcb_get_atom_name_name(reply.get()),
            static_cast<size_t>(xcb_get_atom_name_name_length(reply.get()))};
}

std::string outputName(PendingOutput read) {
    const auto [reply, error] = read.reply(xcb_randr_get_output_info_reply);
    if (!reply) {
        return {};
    }
    return {reinterpret_cast<const char*>(xcb_randr_get_output_info_name(reply.get())),
            static_cast<size_t>(xcb_randr_get_output_info_name_length(reply.get()))};
}

// RandR 1.5: the active monitors, named by their atoms.
std::vector<Monitor> randrMonitors(const Xcb::Connector& connector) {
    xcb_connection_t* conn = connector.connection();
    const auto [reply, error] = connector.pending(xcb_randr_get_monitors(conn, connector.windowRoot(), 1))
                                    .reply(xcb_randr_get_monitors_reply);
    if (!reply) {
        return {};
    }
    std::vector<Monitor> monitors;
    std::vector<PendingAtomName> names;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem != 0;
         xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t& info = *it.data;
        monitors.push_back({{}, {info.x, info.y, info.width, info.height}, info.primary != 0});
        names.push_back(connector.pending(xcb_get_atom_name(conn, info.name)));
    }
    for (size_t index = 0; index < monitors.size(); ++index) {
        monitors[index].name = atomName(std::move(names[index]));
    }
    return monitors;
}

// Before RandR 1.5: each CRTC that shows something, named by its first output.
std::vector<Monitor> crtcMonitors(const Xcb::Connector& connector) {
    xcb_connection_t* conn = connector.connection();
    const auto [resources, error] =
        connector.pending(xcb_randr_get_screen_resources_current(conn, connector.windowRoot()))
            .reply(xcb_randr_get_screen_resources_current_reply);
    if (!resources) {
        return {};
    }
    const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
    const int count = xcb_randr_get_screen_resources_current_crtcs_length(resources.get());
    std::vector<PendingCrtc> reads;
    reads.reserve(static_cast<size_t>(count));
    for (int index = 0; index < count; ++index) {
        reads.push_back(
            connector.pending(xcb_randr_get_crtc_info(conn, crtcs[index], resources->config_timestamp)));
    }
    std::vector<Monitor> monitors;
    std::vector<PendingOutput> names;
    for (PendingCrtc& read : reads) {
        const auto [crtc, crtcError] = read.reply(xcb_randr_get_crtc_info_reply);
        if (!crtc || crtc->mode == XCB_NONE || crtc->width == 0 || crtc->height == 0 ||
            xcb_randr_get_crtc_info_outputs_length(crtc.get()) == 0) {
            continue;
        }
        monitors.push_back({{}, {crtc->x, crtc->y, crtc->width, crtc->height}, false});
        names.push_back(connector.pending(xcb_randr_get_output_info(
            conn, xcb_randr_get_crtc_info_outputs(crtc.get())[0], resources->config_timestamp)));
    }
    for (size_t index = 0; index < monitors.size(); ++index) {
        monitors[index].name = outputName(std::move(names[index]));
    }
    return monitors;
}

}  // namespace

std::vector<Monitor> readMonitors(const Xcb::Connector& connector) {
    std::vector<Monitor> monitors = randrMonitors(connector);
    if (monitors.empty()) {
        monitors = crtcMonitors(connector);
    }
    for (const Monitor& monitor : monitors) {
        Syslog::info("%s: monitor: `%s', area: [%d, %d, %u, %u], primary: `%s'", "readMonitors",
                     monitor.name.c_str(), monitor.area.x, monitor.area.y, monitor.area.width,
                     monitor.area.height, monitor.primary ? "true" : "false");
    }
    return monitors;
}

}  // namespace Velk
