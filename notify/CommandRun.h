// One run of an outside program for the command channel: started without a
// shell, fed its input on standard input, its output collected up to a bound,
// killed when it outlasts its time limit.
#pragma once

#include <cstddef>
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

// Runs the program and waits for it, at most its time limit: then its whole
// process group is killed. Blocks the calling thread; never throws.
CommandOutcome runCommand(const CommandRequest& request);

// A stop: kills the process group of every program under way (SIGKILL, so
// one that ignores SIGTERM goes too) and starts no other, whose run ends as
// not started, until resumeCommands. Otherwise a program would outlive the
// daemon and run again at its next start, for the notice the outbox kept.
void endRunningCommands();
void resumeCommands();
