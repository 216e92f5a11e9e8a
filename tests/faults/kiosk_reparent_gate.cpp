// The test's end of the re-parenting gate; see kiosk_reparent_gate.h.
#include "kiosk_reparent_gate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace VelkTest {

ReparentGate::ReparentGate() : socketPath((dir / "gate").string()) {
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    int wake[2] = {-1, -1};
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 8) != 0 || pipe2(wake, O_CLOEXEC) != 0) {
        throw std::runtime_error("ReparentGate: cannot listen on " + socketPath);
    }
    wakeRead = wake[0];
    wakeWrite = wake[1];
    server = std::thread(&ReparentGate::serve, this);
}

ReparentGate::~ReparentGate() {
    const char stop = 1;
    if (write(wakeWrite, &stop, 1) == 1) {
        server.join();
    } else {
        server.detach();
    }
    close(listener);
    close(wakeRead);
    close(wakeWrite);
}

std::vector<std::string> ReparentGate::kioskPrefix() const {
    const char* asan = std::getenv("ASAN_OPTIONS");
    // The hook is loaded ahead of the sanitizer's runtime in a sanitized build.
    const std::string asanOptions =
        std::string(asan ? asan : "") + (asan ? ":" : "") + "verify_asan_link_order=0";
    return {"/usr/bin/env", "LD_PRELOAD=" VELK_REPARENT_HOOK, "VELK_TEST_REPARENT_GATE=" + socketPath,
            "ASAN_OPTIONS=" + asanOptions};
}

void ReparentGate::hold(xcb_window_t win, std::function<void()> action) {
    const std::lock_guard<std::mutex> guard(lock);
    held[win] = std::move(action);
}

bool ReparentGate::waitForHeld(xcb_window_t win, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            const std::lock_guard<std::mutex> guard(lock);
            return passed.count(win) > 0;
        },
        timeout);
}

void ReparentGate::serve() {
    pollfd waits[] = {{listener, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    while (poll(waits, 2, -1) >= 0 && !(waits[1].revents & POLLIN)) {
        if (waits[0].revents & POLLIN) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                answer(client);
                close(client);
            }
        }
    }
}

// The action runs before the answer: the kiosk waits for it.
void ReparentGate::answer(int client) {
    xcb_window_t win = 0;
    if (recv(client, &win, sizeof(win), MSG_WAITALL) != static_cast<ssize_t>(sizeof(win))) {
        return;
    }
    std::function<void()> action;
    {
        const std::lock_guard<std::mutex> guard(lock);
        const auto found = held.find(win);
        if (found != held.end()) {
            action = std::move(found->second);
            held.erase(found);
        }
    }
    if (action) {
        try {
            action();
            const std::lock_guard<std::mutex> guard(lock);
            passed[win] = true;
        } catch (const std::exception&) {
            // Not marked as passed: the test's wait for it fails.
        }
    }
    const char go = 1;
    if (send(client, &go, 1, MSG_NOSIGNAL) != 1) {
        return;
    }
}

}  // namespace VelkTest
