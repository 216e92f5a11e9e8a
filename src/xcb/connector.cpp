// The connection to the display and what is kept of its setup: the first
// screen, the pixmap format of its root depth and the RandR check; atoms,
// formats, visuals and the one writer of X errors.
#include <string>
#include <vector>

#include "logger.h"
#include "xcb/xcb.h"

namespace Velk::Xcb {

namespace {

constexpr std::string_view cookieAuthName = "MIT-MAGIC-COOKIE-1";

// Only the connection is wanted here, not the screen number.
xcb_connection_t* openConnection(const std::string& name, const std::vector<uint8_t>* cookie) {
    if (!cookie) {
        return xcb_connect(name.c_str(), nullptr);
    }
    // libxcb takes the record as mutable but only reads it.
    xcb_auth_info_t auth{};
    auth.namelen = static_cast<int>(cookieAuthName.size());
    auth.name = const_cast<char*>(cookieAuthName.data());
    auth.datalen = static_cast<int>(cookie->size());
    auth.data = reinterpret_cast<char*>(const_cast<uint8_t*>(cookie->data()));
    return xcb_connect_to_display_with_auth_info(name.c_str(), &auth, nullptr);
}

}  // namespace

Connector::Connector(uint32_t display, const std::vector<uint8_t>* cookie) {
    if (!connectToDisplay(display, cookie)) {
        throw xcb_error("Connector");
    }
}

bool Connector::connectToDisplay(uint32_t display, const std::vector<uint8_t>* cookie) {
    const std::string name = ":" + std::to_string(display);
    conn.reset();
    conn.reset(openConnection(name, cookie));

    if (xcb_connection_has_error(conn.get())) {
        Syslog::error("%s: %s failed, addr: %s", "connectToDisplay", "xcb_connect", name.c_str());
        return false;
    }
    return takeScreen() && checkRandr();
}

bool Connector::takeScreen() {
    setup = xcb_get_setup(conn.get());
    if (!setup) {
        Syslog::error("%s: %s failed", "connectToDisplay", "xcb_get_setup");
        return false;
    }
    screen = xcb_setup_roots_iterator(setup).data;
    if (!screen) {
        Syslog::error("%s: %s failed", "connectToDisplay", "xcb_setup_roots");
        return false;
    }
    format = findFormat(screen->root_depth);
    if (!format) {
        Syslog::error("%s: %s failed", "connectToDisplay", "xcb_setup_pixmap_format");
        return false;
    }
    return true;
}

bool Connector::checkRandr() const {
    const auto* randr = xcb_get_extension_data(conn.get(), &xcb_randr_id);
    if (!randr || !randr->present) {
        Syslog::error("%s: %s extension not found", "connectToDisplay", "RANDR");
        return false;
    }
    const auto [version, error] =
        getReply1(xcb_randr_query_version_reply, conn.get(), xcb_randr_query_version(conn.get(), 1, 6));
    if (error) {
        Syslog::error("%s: %s failed", "connectToDisplay", "xcb_randr_query_version");
        return false;
    }
    if (version && Syslog::isTraceMode()) {
        Syslog::debug("used %s extension, version: %u.%u", "RANDR", version->major_version,
                      version->minor_version);
    }
    return true;
}

int Connector::hasError() const {
    return conn ? xcb_connection_has_error(conn.get()) : -1;
}

xcb_window_t Connector::windowRoot() const {
    return screen->root;
}

uint8_t Connector::depth() const {
    return format->depth;
}

uint8_t Connector::bitsPerPixel() const {
    return format->bits_per_pixel;
}

const xcb_format_t* Connector::findFormat(uint8_t formatDepth) const {
    const xcb_format_t* formats = xcb_setup_pixmap_formats(setup);
    const int count = xcb_setup_pixmap_formats_length(setup);
    for (int index = 0; index < count; ++index) {
        if (formats[index].depth == formatDepth) {
            return &formats[index];
        }
    }
    return nullptr;
}

const xcb_visualtype_t* Connector::findVisual(xcb_visualid_t visual) const {
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem;
             xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == visual) {
                return visuals.data;
            }
        }
    }
    return nullptr;
}

uint8_t Connector::bppFromDepth(uint8_t formatDepth) const {
    const xcb_format_t* found = findFormat(formatDepth);
    return found ? found->bits_per_pixel : 0;
}

uint8_t Connector::depthFromBpp(uint8_t bpp) const {
    const xcb_format_t* formats = xcb_setup_pixmap_formats(setup);
    const int count = xcb_setup_pixmap_formats_length(setup);
    for (int index = 0; index < count; ++index) {
        if (formats[index].bits_per_pixel == bpp) {
            return formats[index].depth;
        }
    }
    return 0;
}

xcb_atom_t Connector::getAtom(std::string_view name, bool create) const {
    return getAtoms({name}, create).front();
}

std::string Connector::getAtomName(xcb_atom_t atom) const {
    if (atom == XCB_ATOM_NONE) {
        return "NONE";
    }
    const auto [reply, error] =
        getReply1(xcb_get_atom_name_reply, conn.get(), xcb_get_atom_name(conn.get(), atom));
    if (error) {
        toSyslogError(error, "getAtomName", "xcb_get_atom_name");
        return "NONE";
    }
    if (!reply) {
        return "NONE";
    }
    const char* name = xcb_get_atom_name_name(reply.get());
    const int length = xcb_get_atom_name_name_length(reply.get());
    return name && length > 0 ? std::string(name, static_cast<size_t>(length)) : std::string("NONE");
}

std::vector<xcb_atom_t> Connector::getAtoms(const std::vector<std::string_view>& names, bool create) const {
    std::vector<PendingReply<xcb_intern_atom_cookie_t>> requests;
    requests.reserve(names.size());
    for (const std::string_view name : names) {
        requests.push_back(pending(
            xcb_intern_atom(conn.get(), create ? 0 : 1, static_cast<uint16_t>(name.size()), name.data())));
    }
    std::vector<xcb_atom_t> atoms;
    atoms.reserve(names.size());
    for (auto& request : requests) {
        const auto [reply, error] = request.reply(xcb_intern_atom_reply);
        atoms.push_back(reply && !error ? reply->atom : xcb_atom_t{XCB_ATOM_NONE});
    }
    return atoms;
}

bool Connector::confirm(PendingCheck request, std::string_view caller, std::string_view requestName) const {
    const GenericError error = request.check();
    if (error || xcb_connection_has_error(conn.get())) {
        toSyslogError(error, caller, requestName);
        return false;
    }
    return true;
}

void Connector::toSyslogError(const GenericError& error, std::string_view caller,
                              std::string_view request) const {
    // Callers pass literals, so the views end in a NUL.
    if (!error) {
        Syslog::error("%s: %s failed", caller.data(), request.data());
        return;
    }
    Syslog::error("%s: %s failed, error code: 0x%02x, major: 0x%02x, minor: 0x%04x, sequence: 0x%04x",
                  caller.data(), request.data(), error->error_code, error->major_code, error->minor_code,
                  error->sequence);
}

}  // namespace Velk::Xcb
