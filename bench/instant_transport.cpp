// A transport that is ready the moment it runs, for timing the proxy's own
// set-up: it makes the proxy's socket path a link to an echo server that was
// started once for the whole run, waits for SIGTERM or SIGINT, then removes
// its link. Freestanding, on raw system calls: a static C library's own start
// costs about 1 ms of CPU here, several times everything else in the exec.
//   relay_instant_transport /ipc-socket:PATH /standin:at:SERVER_SOCKET [ignored arguments]
#include <asm/unistd.h>

namespace {

constexpr long atWorkingDirectory = -100;                                    // AT_FDCWD
constexpr unsigned long stopSignals = (1UL << (2 - 1)) | (1UL << (15 - 1));  // SIGINT, SIGTERM
constexpr long signalSetSize = sizeof(stopSignals);
constexpr long blockSignals = 0;  // SIG_BLOCK

long systemCall(long number, long first, long second = 0, long third = 0, long fourth = 0) {
#if defined(__x86_64__)
    long result = 0;
    register long tenth asm("r10") = fourth;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(number), "D"(first), "S"(second), "d"(third), "r"(tenth)
                 : "rcx", "r11", "memory");
    return result;
#elif defined(__aarch64__)
    register long x8 asm("x8") = number;
    register long x0 asm("x0") = first;
    register long x1 asm("x1") = second;
    register long x2 asm("x2") = third;
    register long x3 asm("x3") = fourth;
    asm volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
    return x0;
#else
#error "relay_instant_transport: system calls for x86-64 and aarch64 only"
#endif
}

long address(const void* pointer) {
    return reinterpret_cast<long>(pointer);
}

long length(const char* text) {
    long count = 0;
    while (text[count] != '\0') {
        ++count;
    }
    return count;
}

const char* valueAfter(const char* arg, const char* prefix) {
    for (; *prefix != '\0'; ++arg, ++prefix) {
        if (*arg != *prefix) {
            return nullptr;
        }
    }
    return arg;
}

[[noreturn]] void exitWith(long status) {
    while (true) {
        systemCall(__NR_exit_group, status);
    }
}

[[noreturn]] void fail(const char* message, long status) {
    systemCall(__NR_write, 2, address(message), length(message));
    exitWith(status);
}

void removeLink(const char* link) {
    systemCall(__NR_unlinkat, atWorkingDirectory, address(link), 0);
}

}  // namespace

// Called by _start with the process's initial stack: argc, then argv.
extern "C" [[noreturn]] void instantMain(const long* stack) {
    const long argc = stack[0];
    const char* const* argv = reinterpret_cast<const char* const*>(stack + 1);
    const char* link = nullptr;
    const char* server = nullptr;
    for (long i = 1; i < argc; ++i) {
        if (const char* value = valueAfter(argv[i], "/ipc-socket:")) {
            link = value;
        } else if (const char* target = valueAfter(argv[i], "/standin:at:")) {
            server = target;
        }
    }
    if (link == nullptr || server == nullptr) {
        fail("usage: relay_instant_transport /ipc-socket:PATH /standin:at:SERVER_SOCKET\n", 2);
    }
    // Blocked before the link exists, so that a stop that comes right after
    // it waits for the wait below instead of leaving the link behind.
    systemCall(__NR_rt_sigprocmask, blockSignals, address(&stopSignals), 0, signalSetSize);
    removeLink(link);
    if (systemCall(__NR_symlinkat, address(server), atWorkingDirectory, address(link)) != 0) {
        fail("relay_instant_transport: symlink failed\n", 1);
    }
    while (systemCall(__NR_rt_sigtimedwait, address(&stopSignals), 0, 0, signalSetSize) < 0) {
    }
    removeLink(link);
    exitWith(0);
}

#if defined(__x86_64__)
asm(".text\n.global _start\n_start:\n xor %ebp, %ebp\n mov %rsp, %rdi\n and $-16, %rsp\n call instantMain\n");
#elif defined(__aarch64__)
asm(".text\n.global _start\n_start:\n mov x29, #0\n mov x0, sp\n bl instantMain\n");
#endif
