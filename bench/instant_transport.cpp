// A transport that is ready the moment it runs, for timing the proxy's own
// set-up: it makes the proxy's socket path a link to an echo server that was
// started once for the whole run, waits for SIGTERM or SIGINT, then removes
// its link. Plain libc only, so that its exec costs as little as possible.
//   relay_instant_transport /ipc-socket:PATH /standin:at:SERVER_SOCKET [ignored arguments]
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

const char* valueAfter(const char* arg, const char* prefix) {
    const size_t length = strlen(prefix);
    return strncmp(arg, prefix, length) == 0 ? arg + length : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const char* link = nullptr;
    const char* server = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (const char* value = valueAfter(argv[i], "/ipc-socket:")) {
            link = value;
        } else if (const char* target = valueAfter(argv[i], "/standin:at:")) {
            server = target;
        }
    }
    if (link == nullptr || server == nullptr) {
        fprintf(stderr, "usage: %s /ipc-socket:PATH /standin:at:SERVER_SOCKET\n", argv[0]);
        return 2;
    }
    // Blocked before the link exists, so that a stop that comes right after
    // it waits for sigwait instead of leaving the link behind.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    unlink(link);
    if (symlink(server, link) != 0) {
        perror("relay_instant_transport: symlink");
        return 1;
    }
    int received = 0;
    sigwait(&stop, &received);
    unlink(link);
    return 0;
}
