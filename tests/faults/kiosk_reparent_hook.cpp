// Loaded into velk_kiosk by the fault tests (LD_PRELOAD): before the kiosk
// re-parents a client into its new frame it tells the client's id to the
// unix socket named by VELK_TEST_REPARENT_GATE and waits for one byte back.
// The test withdraws or destroys the window meanwhile, so the window leaves
// in the gap between the kiosk's map and its re-parenting every time.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

void askGate(xcb_window_t window) {
    const char* path = std::getenv("VELK_TEST_REPARENT_GATE");
    if (!path) {
        return;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
    char answer = 0;
    // A gate that is not there, or that goes, lets the kiosk on.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        write(fd, &window, sizeof(window)) == static_cast<ssize_t>(sizeof(window)) &&
        read(fd, &answer, 1) < 0) {
        answer = 0;
    }
    close(fd);
}

}  // namespace

extern "C" xcb_void_cookie_t xcb_reparent_window_checked(xcb_connection_t* conn, xcb_window_t window,
                                                         xcb_window_t parent, int16_t x, int16_t y) {
    using Real = xcb_void_cookie_t (*)(xcb_connection_t*, xcb_window_t, xcb_window_t, int16_t, int16_t);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "xcb_reparent_window_checked"));
    askGate(window);
    return real(conn, window, parent, x, y);
}
