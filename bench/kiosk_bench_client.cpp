// The kiosk benchmark's X client, in three modes:
//   map <display> <windows> <wait for a window manager: 0|1> <expect full screen: 0|1>
//     maps windows one after another and measures, per window, the time from
//     MapWindow to the window being mapped (MapNotify), to its being full
//     screen (a ConfigureNotify of about the screen's size) and to its being
//     final: viewable (its first Expose) and configured to that size, whichever
//     comes last.  A window first shown at another size is counted as flashed.
//     Prints one JSON object with the times in microseconds.
//   flood <display> <windows>
//     creates the windows, says "ready", and on a line from standard input
//     maps them all at once, says "sent" and, once every one is mapped,
//     "mapped <ms>"; then holds them until standard input ends.
//   one <display>
//     creates one window, says "ready", maps it on a line from standard input
//     (at once when standard input is not a pipe the benchmark holds) and says
//     "mapped <ms>"; then holds it, idle, until standard input ends.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// A window manager holds the root's substructure redirect: the root's
// event masks say so.  Asked without taking the redirect ourselves, which
// would make a window manager that starts meanwhile find it taken.
bool windowManagerRuns(xcb_connection_t* conn, xcb_window_t root) {
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(conn, xcb_get_window_attributes(conn, root), nullptr);
    const bool held = attributes && (attributes->all_event_masks & XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT) != 0;
    std::free(attributes);
    return held;
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

int mapOneAfterAnother(xcb_connection_t* conn, const xcb_screen_t* screen, int count, bool waitForWm,
                       bool expectFullScreen) {
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
    return 0;
}

// One round trip: the server has handled everything sent before.
void sync(xcb_connection_t* conn) {
    std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
}

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// A line from the benchmark, or its end.
bool awaitLine() {
    std::string line;
    return static_cast<bool>(std::getline(std::cin, line));
}

// Blocks until every window of the set has been mapped; false after 600 s.
bool awaitMapped(xcb_connection_t* conn, std::unordered_set<xcb_window_t> waiting) {
    const auto deadline = Clock::now() + std::chrono::seconds(600);
    while (!waiting.empty() && Clock::now() < deadline) {
        xcb_generic_event_t* event = xcb_wait_for_event(conn);
        if (!event) {
            return false;
        }
        if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
            waiting.erase(reinterpret_cast<xcb_map_notify_event_t*>(event)->window);
        }
        std::free(event);
    }
    return waiting.empty();
}

// Creates the windows, then maps them all in one go on the benchmark's word.
int mapAllAtOnce(xcb_connection_t* conn, const xcb_screen_t* screen, int count) {
    std::vector<xcb_window_t> windows;
    windows.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        windows.push_back(createWindow(conn, screen, i));
    }
    sync(conn);
    say("ready");
    if (!awaitLine()) {
        return 1;
    }
    const auto start = Clock::now();
    for (const xcb_window_t win : windows) {
        xcb_map_window(conn, win);
    }
    xcb_flush(conn);
    say("sent");
    if (!awaitMapped(conn, {windows.begin(), windows.end()})) {
        std::fprintf(stderr, "not every window was mapped\n");
        return 1;
    }
    say("mapped " + std::to_string(micros(Clock::now() - start) / 1000));
    awaitLine();
    return 0;
}

int mapOne(xcb_connection_t* conn, const xcb_screen_t* screen) {
    const xcb_window_t win = createWindow(conn, screen, 0);
    sync(conn);
    say("ready");
    if (!awaitLine()) {
        return 1;
    }
    const auto start = Clock::now();
    xcb_map_window(conn, win);
    xcb_flush(conn);
    if (!awaitMapped(conn, {win})) {
        return 1;
    }
    say("mapped " + std::to_string(micros(Clock::now() - start) / 1000));
    // Idle from here on: nothing is drawn, nothing asked.
    awaitLine();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    const bool known =
        (mode == "map" && argc == 6) || (mode == "flood" && argc == 4) || (mode == "one" && argc == 3);
    if (!known) {
        std::fprintf(stderr,
                     "usage: %s map <display> <windows> <wait for wm 0|1> <expect full screen 0|1>\n"
                     "       %s flood <display> <windows>\n"
                     "       %s one <display>\n",
                     argv[0], argv[0], argv[0]);
        return 2;
    }
    xcb_connection_t* conn = xcb_connect(argv[2], nullptr);
    if (xcb_connection_has_error(conn)) {
        std::fprintf(stderr, "cannot connect to %s\n", argv[2]);
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
    int status = 0;
    if (mode == "map") {
        status = mapOneAfterAnother(conn, screen, std::atoi(argv[3]), std::strcmp(argv[4], "1") == 0,
                                    std::strcmp(argv[5], "1") == 0);
    } else if (mode == "flood") {
        status = mapAllAtOnce(conn, screen, std::atoi(argv[3]));
    } else {
        status = mapOne(conn, screen);
    }
    xcb_disconnect(conn);
    return status;
}
