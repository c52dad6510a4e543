// fork and execve with three pipes: standard input, standard output and error
// together, and a close-on-exec pipe on which the child reports an execve that
// failed, so "not found" and "not executable" are told apart from a program
// that ran and failed.
#include "notify/CommandRun.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>

#include "base/ErrorText.h"

namespace {

constexpr int kPollSliceMs = 50;  // how often a run looks whether its program has ended

// The programs under way, each the leader of its own process group. A
// program leaves the set as it is reaped, under the same lock a stop kills
// under, so a stop never signals a process id the system has handed on.
std::mutex gRunningMutex;
std::set<pid_t> gRunning;  // guarded by gRunningMutex
bool gEnded = false;       // guarded by gRunningMutex

// waitpid for a program of the set; once it is reaped it leaves the set.
pid_t reap(pid_t pid, int* status, int options) {
    if (!(options & WNOHANG)) {
        // A blocking wait holds no lock: the program was killed, or has
        // ended, and is forgotten first.
        {
            std::lock_guard<std::mutex> lock(gRunningMutex);
            gRunning.erase(pid);
        }
        pid_t ended;
        while ((ended = waitpid(pid, status, options)) < 0 && errno == EINTR) {
        }
        return ended;
    }
    std::lock_guard<std::mutex> lock(gRunningMutex);
    pid_t ended = waitpid(pid, status, options);
    if (ended == pid) gRunning.erase(pid);
    return ended;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Owns the descriptors of one run, so every path closes them.
struct Pipes {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int report[2] = {-1, -1};

    bool open() {
        return pipe2(input, O_CLOEXEC) == 0 && pipe2(output, O_CLOEXEC) == 0 && pipe2(report, O_CLOEXEC) == 0;
    }
    static void closeOne(int& fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    ~Pipes() {
        for (int* pair : {input, output, report}) {
            closeOne(pair[0]);
            closeOne(pair[1]);
        }
    }
};

std::vector<char*> pointers(const std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (const std::string& text : texts) list.push_back(const_cast<char*>(text.c_str()));
    list.push_back(nullptr);
    return list;
}

// In the child, between fork and execve: only async-signal-safe calls.
[[noreturn]] void becomeProgram(Pipes& pipes, char* const* argv, char* const* envp) {
    setpgid(0, 0);  // its own group, so the time limit reaches what it starts
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);  // NOLINT(concurrency-mt-unsafe): the child has one thread
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &plain, nullptr);  // the daemon ignores it; the program should not inherit that
    dup2(pipes.input[0], 0);
    dup2(pipes.output[1], 1);
    dup2(pipes.output[1], 2);
    // Sockets and files of the daemon stay out of the program.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        for (int fd = 3; fd < 4096; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
    execve(argv[0], argv, envp);
    int error = errno;
    ssize_t written = write(pipes.report[1], &error, sizeof error);
    (void)written;
    _exit(127);
}

// The errno of a failed execve, or 0 once the program runs (the pipe closed on exec).
int execveError(int reportFd) {
    int error = 0;
    ssize_t got;
    do {
        got = read(reportFd, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

class RunWatch {
  public:
    RunWatch(const CommandRequest& request, pid_t pid, int inputFd, int outputFd, CommandOutcome& outcome)
        : request_(request), pid_(pid), inputFd_(inputFd), outputFd_(outputFd), outcome_(outcome) {
        fcntl(inputFd_, F_SETFL, O_NONBLOCK);
        fcntl(outputFd_, F_SETFL, O_NONBLOCK);
        if (request_.input.empty()) closeInput();
    }

    // Feeds, collects and waits until the program ends or its time is up.
    void run() {
        int64_t deadline = nowMs() + request_.timeLimitMs;
        int status = 0;
        for (;;) {
            pid_t ended = reap(pid_, &status, WNOHANG);
            if (ended == pid_) {
                // What it wrote before it ended is still in the pipe.
                collect();
                recordEnd(status);
                return;
            }
            int64_t left = deadline - nowMs();
            if (left <= 0) {
                kill(-pid_, SIGKILL);
                kill(pid_, SIGKILL);
                reap(pid_, &status, 0);
                outcome_.end = CommandOutcome::End::TimedOut;
                return;
            }
            pollOnce(static_cast<int>(std::min<int64_t>(left, kPollSliceMs)));
        }
    }

    ~RunWatch() { closeInput(); }

  private:
    void pollOnce(int timeoutMs) {
        pollfd fds[2];
        nfds_t count = 0;
        if (outputOpen_) fds[count++] = pollfd{outputFd_, POLLIN, 0};
        if (inputFd_ >= 0) fds[count++] = pollfd{inputFd_, POLLOUT, 0};
        poll(fds, count, timeoutMs);  // with nothing to watch a plain sleep
        if (outputOpen_) collect();
        if (inputFd_ >= 0) feed();
    }

    void feed() {
        while (written_ < request_.input.size()) {
            ssize_t n = write(inputFd_, request_.input.data() + written_, request_.input.size() - written_);
            if (n > 0) {
                written_ += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            break;  // the program closed its input (EPIPE): it does not want the rest
        }
        closeInput();
    }

    void collect() {
        char buffer[4096];
        for (;;) {
            ssize_t n = read(outputFd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) outputOpen_ = false;
                return;
            }
            size_t room = request_.outputLimit - std::min(request_.outputLimit, outcome_.output.size());
            size_t kept = std::min(room, static_cast<size_t>(n));
            outcome_.output.append(buffer, kept);
            outcome_.outputLeftOut += static_cast<size_t>(n) - kept;
        }
    }

    void recordEnd(int status) {
        if (WIFEXITED(status)) {
            outcome_.end = CommandOutcome::End::Exited;
            outcome_.code = WEXITSTATUS(status);
        } else {
            outcome_.end = CommandOutcome::End::Signalled;
            outcome_.code = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        }
        // Anything it left running in its group goes with it.
        kill(-pid_, SIGKILL);
    }

    void closeInput() {
        if (inputFd_ >= 0) close(inputFd_);
        inputFd_ = -1;
    }

    const CommandRequest& request_;
    pid_t pid_;
    int inputFd_;
    int outputFd_;
    CommandOutcome& outcome_;
    size_t written_ = 0;
    bool outputOpen_ = true;
};

}  // namespace

std::string CommandOutcome::describe(int timeLimitMs) const {
    switch (end) {
        case End::Exited:
            return "exit status " + std::to_string(code);
        case End::Signalled:
            return "killed by signal " + std::to_string(code);
        case End::TimedOut:
            return "no end within " + std::to_string(timeLimitMs) + " ms, killed";
        case End::NotStarted:
            if (code == ECANCELED) return "not started: stopping";
            break;
    }
    return std::string("cannot run: ") + errorText(code);
}

CommandOutcome runCommand(const CommandRequest& request) {
    CommandOutcome outcome;
    outcome.code = EINVAL;
    if (request.argv.empty() || request.argv[0].empty()) return outcome;
    // Built before the fork: the child of a threaded process may not allocate.
    std::vector<char*> argv = pointers(request.argv);
    std::vector<char*> envp = pointers(request.environment);
    Pipes pipes;
    if (!pipes.open()) {
        outcome.code = errno;
        return outcome;
    }
    // A program that closes its input early must not end the daemon by SIGPIPE.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    pid_t pid;
    {
        // Forked under the lock, so a stop either finds the program in the
        // set or keeps it from starting.
        std::lock_guard<std::mutex> lock(gRunningMutex);
        if (gEnded) {
            outcome.code = ECANCELED;
            return outcome;
        }
        pid = fork();
        if (pid == 0) becomeProgram(pipes, argv.data(), envp.data());
        if (pid < 0) {
            outcome.code = errno;
            return outcome;
        }
        gRunning.insert(pid);
    }

    Pipes::closeOne(pipes.input[0]);
    Pipes::closeOne(pipes.output[1]);
    Pipes::closeOne(pipes.report[1]);
    if (int error = execveError(pipes.report[0])) {
        int status = 0;
        reap(pid, &status, 0);
        outcome.code = error;
        return outcome;
    }
    int inputFd = pipes.input[1];
    pipes.input[1] = -1;  // the watch closes it once the input is written
    RunWatch(request, pid, inputFd, pipes.output[0], outcome).run();
    return outcome;
}

void endRunningCommands() {
    std::lock_guard<std::mutex> lock(gRunningMutex);
    gEnded = true;
    for (pid_t pid : gRunning) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);  // a program that has not made its own group yet
    }
}

void resumeCommands() {
    std::lock_guard<std::mutex> lock(gRunningMutex);
    gEnded = false;
}
