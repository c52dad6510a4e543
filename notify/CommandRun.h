// One run of an outside program for the command channel: started without a
// shell, fed its input on standard input, its output collected up to a bound,
// killed when it outlasts its time limit.
#pragma once

#include <curl/curl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct CommandRequest {
    std::vector<std::string> argv;         // argv[0] is the program's path
    std::vector<std::string> environment;  // "NAME=value", the whole environment
    std::string input;                     // written to standard input, which is then closed
    int timeLimitMs = 30000;
    size_t outputLimit = 4096;  // of standard output and standard error together
};

struct CommandOutcome {
    enum class End { Exited, Signalled, TimedOut, NotStarted };
    End end = End::NotStarted;
    int code = 0;        // exit status, signal number or, when not started, errno
    std::string output;  // the first outputLimit bytes
    size_t outputLeftOut = 0;

    bool succeeded() const { return end == End::Exited && code == 0; }
    // "exit status 1", "killed by signal 9", "no end within 5000 ms, killed",
    // "cannot run: No such file or directory", "not started: stopping".
    std::string describe(int timeLimitMs) const;
};

// One program under way, driven on the sender's poll: its output pipe, its
// input pipe and a process descriptor (where the kernel has pidfd_open; else
// a short poll time-out looks for its end) are watched, its time limit is the
// poll's time-out. Past the limit its whole process group is killed.
class CommandProcess {
  public:
    // The entries prepare appends, always this many.
    static constexpr size_t kWatched = 3;

    // Starts the program. Null when it could not start: then `notStarted`
    // says why. Never throws.
    static std::unique_ptr<CommandProcess> start(const CommandRequest& request, CommandOutcome* notStarted);
    // A program still running is killed with its group and reaped.
    ~CommandProcess();
    CommandProcess(const CommandProcess&) = delete;
    CommandProcess& operator=(const CommandProcess&) = delete;

    // Appends kWatched entries and returns how long the poll may sleep (ms,
    // at most `longestMs`).
    int prepare(std::vector<curl_waitfd>* fds, int longestMs) const;
    // After the poll, with the entries prepare appended: feeds, collects and
    // looks whether the program has ended or its time is up. True once it
    // is over; then outcome() is final.
    bool service(const curl_waitfd* fds);
    const CommandOutcome& outcome() const { return outcome_; }
    // Kills the program with its group now and waits for its end; its
    // outcome is final then.
    void stop();

  private:
    CommandProcess(const CommandRequest& request, pid_t pid, int inputFd, int outputFd);
    void feed();
    void collect();
    void recordEnd(int status);
    void closeInput();

    std::string input_;
    size_t outputLimit_;
    pid_t pid_;
    int pidFd_ = -1;
    int inputFd_;
    int outputFd_;
    int64_t deadlineMs_;
    size_t written_ = 0;
    bool outputOpen_ = true;
    bool reaped_ = false;
    CommandOutcome outcome_;
};

// A stop: kills the process group of every program under way (SIGKILL, so
// one that ignores SIGTERM goes too) and starts no other, whose run ends as
// not started, until resumeCommands. Otherwise a program would outlive the
// daemon and run again at its next start, for the notice the outbox kept.
void endRunningCommands();
void resumeCommands();
