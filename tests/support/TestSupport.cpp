// Shared test helpers (see TestSupport.h).
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/Clock.h"
#include "notify/Sender.h"

namespace testsupport {

std::string sourcePath(const std::string& relative) {
    return std::string(ZENTOK_SOURCE_DIR) + "/" + relative;
}
std::string binaryPath(const std::string& relative) {
    return std::string(ZENTOK_BINARY_DIR) + "/" + relative;
}
std::string zentokBinary() {
    return binaryPath("zentok");
}

TempDir::TempDir() {
    char pattern[] = "/tmp/zentok-test-XXXXXX";
    char* made = mkdtemp(pattern);
    path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
    if (path_.rfind("/tmp/zentok-test-", 0) == 0) {
        std::string command = "rm -rf '" + path_ + "'";
        if (std::system(command.c_str()) != 0) {
        }
    }
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        socklen_t len = sizeof addr;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

namespace {

// A listener on 127.0.0.1:requested (0: any free port); stores the port.
int openListener(int requested, int backlog, int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(requested));
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    if (port) *port = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

int listenOnLoopback(int backlog, int* port) {
    return openListener(0, backlog, port);
}

SilentListener::SilentListener(int port, int backlog) {
    fd_ = openListener(port, backlog, &port_);
}

SilentListener::~SilentListener() {
    if (fd_ >= 0) close(fd_);
}

bool waitForPort(int port, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

namespace {

[[noreturn]] void execChild(const std::vector<std::string>& argv, int outFd, const std::string& workDir) {
    if (outFd >= 0) {
        dup2(outFd, 1);
        dup2(outFd, 2);
        close(outFd);
    }
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

Process::~Process() {
    stop();
}

bool Process::start(const std::vector<std::string>& argv, const std::string& logFile,
                    const std::string& workDir) {
    if (argv.empty()) return false;
    int outFd = -1;
    if (!logFile.empty()) outFd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_ = fork();
    if (pid_ == 0) execChild(argv, outFd, workDir);
    if (outFd >= 0) close(outFd);
    return pid_ > 0;
}

bool Process::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

bool Process::waitForExit(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return true;
}

void Process::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& workDir, int timeoutMs) {
    RunResult result;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        execChild(argv, pipeFds[1], workDir);
    }
    close(pipeFds[1]);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    bool exited = false;
    char buffer[4096];
    for (;;) {
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
        if (exited) break;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            continue;  // drain what is left
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timedOut = true;
            while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(pipeFds[0]);
    if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

RunResult runZentokIn(const std::string& workDir, const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv{zentokBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, workDir, timeoutMs);
}

bool waitForSender(int timeoutMs) {
    return sender().waitIdle(steadyMs() + timeoutMs);
}

int countOf(const std::string& text, const std::string& needle) {
    if (needle.empty()) return 0;
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::string fromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

bool hasBareLineEnd(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return true;
        if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) return true;
    }
    return false;
}

std::string contentOf(const std::string& path) {
    return fileExists(path) ? readFile(path) : "";
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string closedSource() {
    return "source;plant\nadr;modbus;tcp:127.0.0.1:" + std::to_string(freeLoopbackPort()) + "\n";
}

}  // namespace testsupport
