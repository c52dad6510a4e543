// ProcStat: /proc/<pid>/stat and /proc/<pid>/task/<tid>/status (see ProcStat.h).
#include "ProcStat.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string contentOf(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long voluntarySwitchesOf(const std::string& statusPath) {
    std::string status = contentOf(statusPath);
    const std::string key = "\nvoluntary_ctxt_switches:";
    size_t at = status.find(key);
    return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace

double processCpuSeconds(pid_t pid) {
    std::string stat = contentOf("/proc/" + std::to_string(pid) + "/stat");
    // The command name in parentheses may hold blanks; the fields after it
    // are counted from its closing parenthesis: state is field 3, utime 14, stime 15.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    long utime = 0, stime = 0;
    for (int number = 3; fields >> field && number <= 15; ++number) {
        if (number == 14) utime = std::atol(field.c_str());
        if (number == 15) stime = std::atol(field.c_str());
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::map<pid_t, long> voluntarySwitchesByThread(pid_t pid) {
    std::map<pid_t, long> result;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return result;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        pid_t tid = static_cast<pid_t>(std::atol(entry->d_name));
        result[tid] = voluntarySwitchesOf(tasks + "/" + entry->d_name + "/status");
    }
    closedir(dir);
    return result;
}

UsageWindow::UsageWindow(pid_t pid)
    : pid_(pid),
      wallStart_(std::chrono::steady_clock::now()),
      cpuStart_(processCpuSeconds(pid)),
      switchesStart_(voluntarySwitchesByThread(pid)) {}

Usage UsageWindow::end() const {
    Usage usage;
    usage.cpuSeconds = processCpuSeconds(pid_) - cpuStart_;
    usage.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart_).count();
    // A thread started in the window counts from 0; the switches of a
    // thread that ended in it are lost with the thread.
    for (const auto& [tid, switches] : voluntarySwitchesByThread(pid_)) {
        auto before = switchesStart_.find(tid);
        usage.voluntarySwitches += switches - (before == switchesStart_.end() ? 0 : before->second);
    }
    return usage;
}
