// What the kernel counts for a running process, read from /proc: CPU time of
// all its threads and their voluntary context switches (sleeps that ended,
// the wake-ups of the process).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cmath>
#include <map>

// utime + stime of the whole process, threads that ended included, in
// seconds. /proc gives it in clock ticks (10 ms on this machine).
double processCpuSeconds(pid_t pid);

// Voluntary context switches of every thread that runs now, by thread id.
std::map<pid_t, long> voluntarySwitchesByThread(pid_t pid);

// What a process used over a window; no window (wallSeconds 0) gives NaN figures.
struct Usage {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long voluntarySwitches = 0;  // of the threads alive at the end
    double cpuPercent() const { return wallSeconds > 0 ? 100.0 * cpuSeconds / wallSeconds : NAN; }
    double switchesPerSecond() const { return wallSeconds > 0 ? voluntarySwitches / wallSeconds : NAN; }
};

class UsageWindow {
  public:
    explicit UsageWindow(pid_t pid);
    Usage end() const;

  private:
    pid_t pid_;
    std::chrono::steady_clock::time_point wallStart_;
    double cpuStart_;
    std::map<pid_t, long> switchesStart_;
};
