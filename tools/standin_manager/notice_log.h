// The record of what the stand-in manager was asked: one line per call or
// control command, appended and written through at once so that a test can
// wait for a line while the manager runs.
#pragma once

#include <string>

namespace VelkStandin {

class NoticeLog {
public:
    // An empty path gives a log that records nothing.
    explicit NoticeLog(const std::string& path);
    ~NoticeLog();
    NoticeLog(const NoticeLog&) = delete;
    NoticeLog& operator=(const NoticeLog&) = delete;

    void record(const std::string& line) const;

private:
    int fd = -1;
};

}  // namespace VelkStandin
