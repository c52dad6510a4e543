// WatchedProcess: fork and exec with the output in a pipe (see WatchedProcess.h).
#include "WatchedProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

int msLeft(WatchedProcess::Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - WatchedProcess::Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

[[noreturn]] void execChild(const std::vector<std::string>& argv, int outFd, const std::string& workDir,
                            pid_t parent) {
    // A bench that is killed must not leave a program behind that runs forever.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    dup2(outFd, 1);
    dup2(outFd, 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace

WatchedProcess::~WatchedProcess() {
    stop();
    if (fd_ >= 0) close(fd_);
}

bool WatchedProcess::start(const std::vector<std::string>& argv, const std::string& workDir) {
    if (argv.empty() || pid_ > 0) return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) execChild(argv, fds[1], workDir, parent);
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return false;
    }
    fd_ = fds[0];
    return true;
}

bool WatchedProcess::readSome(int timeoutMs) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int n = poll(&p, 1, timeoutMs);
    if (n <= 0) return true;
    char buffer[4096];
    ssize_t got = read(fd_, buffer, sizeof buffer);
    if (got > 0) {
        output_.append(buffer, static_cast<size_t>(got));
        return true;
    }
    if (got < 0 && errno == EINTR) return true;
    close(fd_);  // every writer has closed its end
    fd_ = -1;
    return false;
}

void WatchedProcess::pump(int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (int left = ms; left > 0; left = msLeft(deadline))
        if (!readSome(left)) {
            // Nothing more to read: sleep out the rest.
            poll(nullptr, 0, msLeft(deadline));
            return;
        }
}

bool WatchedProcess::waitFor(const std::string& text, size_t from, int timeoutMs, Clock::time_point* seenAt) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (output_.size() >= from && output_.find(text, from) != std::string::npos) {
            if (seenAt) *seenAt = Clock::now();
            return true;
        }
        int left = msLeft(deadline);
        if (left == 0 || !readSome(left)) return false;
    }
}

bool WatchedProcess::reaped() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    pid_ = -1;
    return true;
}

bool WatchedProcess::waitForExit(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reaped()) {
        int left = msLeft(deadline);
        if (left == 0) return false;
        if (!readSome(left < 20 ? left : 20)) poll(nullptr, 0, left < 20 ? left : 20);
    }
    // What the program wrote just before it ended.
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || !readSome(0)) break;
    }
    return true;
}

void WatchedProcess::pause() {
    if (pid_ > 0) kill(pid_, SIGSTOP);
}

void WatchedProcess::resume() {
    if (pid_ > 0) kill(pid_, SIGCONT);
}

void WatchedProcess::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT);
    if (waitForExit(2000)) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}
