// Maps windows one after another on a display and measures, per window, the
// time from MapWindow to the window being mapped (MapNotify), to its being
// full screen (a ConfigureNotify of about the screen's size) and to its being
// final: viewable (its first Expose) and configured to that size, whichever
// comes last.  A window first shown at another size is counted as flashed.
// Prints one JSON object with the times in microseconds.
//   kiosk_bench_client <display> <windows> <wait for a window manager: 0|1> <expect full screen: 0|1>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// A window manager holds the root's substructure redirect; until then our own
// selection of it succeeds.
bool windowManagerRuns(xcb_connection_t* conn, xcb_window_t root) {
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
    auto* error =
        xcb_request_check(conn, xcb_change_window_attributes_checked(conn, root, XCB_CW_EVENT_MASK, &mask));
    if (error) {
        std::free(error);
        return true;
    }
    const uint32_t none = 0;
    xcb_change_window_attributes(conn, root, XCB_CW_EVENT_MASK, &none);
    xcb_flush(conn);
    return false;
}

xcb_window_t createWindow(xcb_connection_t* conn, const xcb_screen_t* screen, int index) {
    const xcb_window_t win = xcb_generate_id(conn);
    const uint32_t values[] = {screen->white_pixel,
                               XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(conn, XCB_COPY_FROM_PARENT, win, screen->root, 100, 100, 640, 480, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    const char wmClass[] = "benchwin\0Benchwin";
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        sizeof(wmClass), wmClass);
    const std::string name = "bench window " + std::to_string(index);
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<uint32_t>(name.size()), name.data());
    return win;
}

struct Times {
    double visible = -1;
    double fullScreen = -1;
    double viewable = -1;
    // Viewable before it had its full-screen size.
    bool flashed = false;
};

Times mapAndWatch(xcb_connection_t* conn, const xcb_screen_t* screen, xcb_window_t win,
                  bool expectFullScreen) {
    Times times;
    const auto start = Clock::now();
    xcb_map_window(conn, win);
    xcb_flush(conn);
    const auto deadline = start + std::chrono::seconds(5);
    while (Clock::now() < deadline &&
           (times.visible < 0 || times.viewable < 0 || (expectFullScreen && times.fullScreen < 0))) {
        xcb_generic_event_t* event = xcb_poll_for_event(conn);
        if (!event) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        const auto type = event->response_type & 0x7f;
        if (type == XCB_MAP_NOTIFY && reinterpret_cast<xcb_map_notify_event_t*>(event)->window == win) {
            times.visible = micros(Clock::now() - start);
        } else if (type == XCB_EXPOSE && reinterpret_cast<xcb_expose_event_t*>(event)->window == win) {
            if (times.viewable < 0) {
                times.viewable = micros(Clock::now() - start);
                times.flashed = expectFullScreen && times.fullScreen < 0;
            }
        } else if (type == XCB_CONFIGURE_NOTIFY) {
            const auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event);
            if (configure->window == win && configure->width + 8 >= screen->width_in_pixels &&
                configure->height + 24 >= screen->height_in_pixels) {
                times.fullScreen = micros(Clock::now() - start);
            }
        }
        std::free(event);
    }
    return times;
}

void printList(const char* name, const std::vector<double>& values, bool last) {
    std::printf("\"%s\": [", name);
    for (size_t i = 0; i < values.size(); ++i) {
        std::printf("%s%.1f", i ? ", " : "", values[i]);
    }
    std::printf("]%s", last ? "" : ", ");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s <display> <windows> <wait for wm 0|1> <expect full screen 0|1>\n",
                     argv[0]);
        return 2;
    }
    xcb_connection_t* conn = xcb_connect(argv[1], nullptr);
    if (xcb_connection_has_error(conn)) {
        std::fprintf(stderr, "cannot connect to %s\n", argv[1]);
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
    const int count = std::atoi(argv[2]);
    const bool waitForWm = std::strcmp(argv[3], "1") == 0;
    const bool expectFullScreen = std::strcmp(argv[4], "1") == 0;

    const auto waitStart = Clock::now();
    while (waitForWm && !windowManagerRuns(conn, screen->root)) {
        if (Clock::now() - waitStart > std::chrono::seconds(10)) {
            std::fprintf(stderr, "no window manager took the display\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    std::vector<double> visible;
    std::vector<double> fullScreen;
    std::vector<double> final;
    int flashed = 0;
    for (int i = 0; i < count; ++i) {
        const Times times = mapAndWatch(conn, screen, createWindow(conn, screen, i), expectFullScreen);
        visible.push_back(times.visible);
        fullScreen.push_back(times.fullScreen);
        const bool reached = times.viewable >= 0 && (!expectFullScreen || times.fullScreen >= 0);
        final.push_back(reached ? std::max(times.viewable, times.fullScreen) : -1);
        flashed += times.flashed ? 1 : 0;
    }
    std::printf("{");
    printList("visible", visible, false);
    printList("fullscreen", fullScreen, false);
    printList("final", final, false);
    std::printf("\"flashed\": %d}\n", flashed);
    xcb_disconnect(conn);
    return 0;
}
