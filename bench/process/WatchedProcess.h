// A program started with its output in a pipe, so that the bench sees every
// line the moment it is written and can time it. The program dies with the
// bench, whatever way the bench ends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class WatchedProcess {
  public:
    using Clock = std::chrono::steady_clock;

    WatchedProcess() = default;
    ~WatchedProcess();
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;

    bool start(const std::vector<std::string>& argv, const std::string& workDir);
    // Collects output for `ms` milliseconds.
    void pump(int ms);
    // Collects output until `text` appears at or after offset `from`; stores
    // the moment it was read. False when it did not appear within timeoutMs.
    bool waitFor(const std::string& text, size_t from, int timeoutMs, Clock::time_point* seenAt = nullptr);
    // Collects output until the program ends; false when it still runs after timeoutMs.
    bool waitForExit(int timeoutMs);
    // SIGTERM (with SIGCONT, for a paused program), then SIGKILL after two seconds.
    void stop();
    bool running() { return !reaped(); }
    // SIGSTOP and SIGCONT: a paused program uses nothing and sends nothing.
    void pause();
    void resume();

    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

  private:
    // One wait of at most timeoutMs for output; false once the pipe is closed.
    bool readSome(int timeoutMs);
    bool reaped();

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string output_;
};
