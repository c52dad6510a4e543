// fork and execve with three pipes: standard input, standard output and error
// together, and a close-on-exec pipe on which the child reports an execve that
// failed, so "not found" and "not executable" are told apart from a program
// that ran and failed.
#include "notify/CommandRun.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
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

// How often a run looks whether its program has ended, where the kernel
// gives no process descriptor to wait on.
constexpr int kPollSliceMs = 50;

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

int openProcessFd(pid_t pid) {
#ifdef SYS_pidfd_open
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#else
    (void)pid;
    return -1;
#endif
}

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

std::unique_ptr<CommandProcess> CommandProcess::start(const CommandRequest& request,
                                                      CommandOutcome* notStarted) {
    *notStarted = CommandOutcome();
    notStarted->code = EINVAL;
    if (request.argv.empty() || request.argv[0].empty()) return nullptr;
    // Built before the fork: the child of a threaded process may not allocate.
    std::vector<char*> argv = pointers(request.argv);
    std::vector<char*> envp = pointers(request.environment);
    Pipes pipes;
    if (!pipes.open()) {
        notStarted->code = errno;
        return nullptr;
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
            notStarted->code = ECANCELED;
            return nullptr;
        }
        pid = fork();
        if (pid == 0) becomeProgram(pipes, argv.data(), envp.data());
        if (pid < 0) {
            notStarted->code = errno;
            return nullptr;
        }
        gRunning.insert(pid);
    }

    Pipes::closeOne(pipes.input[0]);
    Pipes::closeOne(pipes.output[1]);
    Pipes::closeOne(pipes.report[1]);
    if (int error = execveError(pipes.report[0])) {
        int status = 0;
        reap(pid, &status, 0);
        notStarted->code = error;
        return nullptr;
    }
    std::unique_ptr<CommandProcess> process(
        new CommandProcess(request, pid, pipes.input[1], pipes.output[0]));
    pipes.input[1] = -1;  // the process closes them from now on
    pipes.output[0] = -1;
    return process;
}

CommandProcess::CommandProcess(const CommandRequest& request, pid_t pid, int inputFd, int outputFd)
    : input_(request.input),
      outputLimit_(request.outputLimit),
      pid_(pid),
      pidFd_(openProcessFd(pid)),
      inputFd_(inputFd),
      outputFd_(outputFd),
      deadlineMs_(nowMs() + request.timeLimitMs) {
    fcntl(inputFd_, F_SETFL, O_NONBLOCK);
    fcntl(outputFd_, F_SETFL, O_NONBLOCK);
    if (input_.empty()) closeInput();
}

CommandProcess::~CommandProcess() {
    if (!reaped_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        int status = 0;
        reap(pid_, &status, 0);
    }
    closeInput();
    if (outputFd_ >= 0) close(outputFd_);
    if (pidFd_ >= 0) close(pidFd_);
}

int CommandProcess::prepare(std::vector<curl_waitfd>* fds, int longestMs) const {
    curl_waitfd output{outputOpen_ ? outputFd_ : -1, CURL_WAIT_POLLIN, 0};
    curl_waitfd input{inputFd_, CURL_WAIT_POLLOUT, 0};
    curl_waitfd ended{pidFd_, CURL_WAIT_POLLIN, 0};
    fds->push_back(output);
    fds->push_back(input);
    fds->push_back(ended);
    int64_t left = std::max<int64_t>(0, deadlineMs_ - nowMs());
    // Without a process descriptor only a look now and then finds its end.
    if (pidFd_ < 0) left = std::min<int64_t>(left, kPollSliceMs);
    return static_cast<int>(std::min<int64_t>(left, longestMs));
}

bool CommandProcess::service(const curl_waitfd*) {
    if (reaped_) return true;
    if (outputOpen_) collect();
    if (inputFd_ >= 0) feed();
    int status = 0;
    if (reap(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        // What it wrote before it ended is still in the pipe.
        collect();
        recordEnd(status);
        return true;
    }
    if (nowMs() < deadlineMs_) return false;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    reap(pid_, &status, 0);
    reaped_ = true;
    outcome_.end = CommandOutcome::End::TimedOut;
    return true;
}

void CommandProcess::stop() {
    if (reaped_) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status = 0;
    reap(pid_, &status, 0);
    reaped_ = true;
    if (outputOpen_) collect();
    recordEnd(status);
}

void CommandProcess::feed() {
    while (written_ < input_.size()) {
        ssize_t n = write(inputFd_, input_.data() + written_, input_.size() - written_);
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

void CommandProcess::collect() {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(outputFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) outputOpen_ = false;
            return;
        }
        size_t room = outputLimit_ - std::min(outputLimit_, outcome_.output.size());
        size_t kept = std::min(room, static_cast<size_t>(n));
        outcome_.output.append(buffer, kept);
        outcome_.outputLeftOut += static_cast<size_t>(n) - kept;
    }
}

void CommandProcess::recordEnd(int status) {
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

void CommandProcess::closeInput() {
    if (inputFd_ >= 0) close(inputFd_);
    inputFd_ = -1;
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
