// The stand-in session manager as a test sees it: started on a private bus
// with its files in a temporary directory, driven through its control FIFO
// and read through its notices file, stopped by its pid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "private_bus.h"
#include "test_support.h"

namespace VelkTest {

class StandinManager {
public:
    // Returns once the manager owns "ru.tavio.velk"; throws std::runtime_error
    // when it does not. velkTest replies testReply.
    explicit StandinManager(const PrivateBus& bus, const std::string& testReply = "ok");
    ~StandinManager();
    StandinManager(const StandinManager&) = delete;
    StandinManager& operator=(const StandinManager&) = delete;

    pid_t pid() const { return process.pid(); }
    bool running() { return process.running(); }
    // Sends SIGTERM; nullopt when the manager has not ended within 10 s.
    std::optional<ProcessResult> stop();

    // velkSessionInfoJson replies this text from its next call on; with a
    // session id, for that session alone.
    void setSessionInfo(const std::string& json);
    void setSessionInfo(uint32_t sessionId, const std::string& json);

    // Emits the signal with the arguments in their text form (the last string
    // argument may hold spaces); returns once the signal has been sent.
    void emit(const std::string& signal, const std::vector<std::string>& arguments = {});
    // From the next call on the method replies a D-Bus error (fail) or
    // nothing (hang), until succeedMethod.
    void failMethod(const std::string& method);
    void hangMethod(const std::string& method);
    void succeedMethod(const std::string& method);

    // Every line recorded so far: the calls ("proxyListenStarted 7 true",
    // "velkTest", a call answered with an error ends in " [error]") and the
    // control commands ("control ...").
    std::vector<std::string> notices() const;
    // The first notice that begins with prefix, waiting for it up to timeout.
    std::optional<std::string> waitForNotice(const std::string& prefix,
                                             std::chrono::milliseconds timeout) const;

private:
    // Sends one control line and waits until the manager has run it; throws
    // when it rejects the line or does not answer.
    void command(const std::string& line);
    size_t countNotices(const std::string& line) const;

    TempDir dir;
    ChildProcess process;
};

}  // namespace VelkTest
