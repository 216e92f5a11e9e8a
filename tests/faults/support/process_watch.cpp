// See process_watch.h.
#include "process_watch.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "test_support.h"

namespace VelkTest {

namespace fs = std::filesystem;

bool Holdings::operator==(const Holdings& other) const {
    return descriptors == other.descriptors && threads == other.threads && children == other.children &&
           files == other.files;
}

std::ostream& operator<<(std::ostream& out, const Holdings& holdings) {
    return out << "{descriptors " << holdings.descriptors << ", threads " << holdings.threads << ", children "
               << holdings.children << ", files " << holdings.files << "}";
}

size_t countEntries(const fs::path& dir) {
    size_t count = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        ++count;
    }
    return count;
}

size_t threadCount(pid_t pid) {
    return countEntries("/proc/" + std::to_string(pid) + "/task");
}

Holdings holdingsOf(pid_t pid, const fs::path& watchedDir) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    Holdings holdings;
    holdings.descriptors = countEntries(proc / "fd");
    holdings.threads = threadCount(pid);
    holdings.children = childrenOf(pid).size();
    std::error_code ec;
    for (auto it = fs::directory_iterator(watchedDir, ec);
         !watchedDir.empty() && !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const bool keptByDesign = it->path().extension() == ".log" || it->path().filename() == "status";
        holdings.files += keptByDesign ? 0 : 1;
    }
    return holdings;
}

long cpuTicks(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos) {
        return -1;
    }
    // After the command come the state (field 3) and the fields up to utime
    // (14) and stime (15).
    std::istringstream fields(stat.substr(end + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field) {
        fields >> skipped;
    }
    long user = 0;
    long system = 0;
    fields >> user >> system;
    return fields ? user + system : -1;
}

std::vector<std::string> statusWords(pid_t pid, const std::string& field) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::vector<std::string> words;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            std::istringstream value(line.substr(field.size() + 1));
            for (std::string word; value >> word;) {
                words.push_back(word);
            }
            break;
        }
    }
    return words;
}

bool endedUnreaped(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

}  // namespace VelkTest
