// Helpers shared by the tests: temporary directories, free loopback ports and
// silent listeners, peer processes that stop by themselves, and black-box
// runs of build/zentok.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "notify/Notification.h"

namespace testsupport {

// The notification with its text: a channel test hands the same firing over
// with one text after another.
inline Notification withText(Notification notification, std::string text) {
    notification.text = std::move(text);
    return notification;
}

// Paths into the source and build trees.
std::string sourcePath(const std::string& relative);
std::string binaryPath(const std::string& relative);
std::string zentokBinary();
// Debian's interpreter, which has pymodbus, aiosmtpd and oauthlib.
constexpr const char* kPython = "/usr/bin/python3";

// A fresh directory below /tmp, removed with its content on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// The file's text, or empty while it does not exist yet.
std::string contentOf(const std::string& path);
// Looks every 50 ms until `done` holds; false after `timeoutMs`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);
// A source line of a Modbus device on a loopback port nothing listens on.
std::string closedSource();

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();
// A listening socket on 127.0.0.1 with a free port that never accepts on its
// own: connections wait in its backlog, so it stands in for a peer that never
// answers. Returns the descriptor (or -1) and stores the port.
int listenOnLoopback(int backlog, int* port);

// The same as an object that closes its socket, on a given port (0: a free
// one): a device that takes the connection and never says a word, or, with
// its backlog full, one that is switched off.
class SilentListener {
  public:
    explicit SilentListener(int port = 0, int backlog = 8);
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};
// Waits until something accepts connections on 127.0.0.1:port.
bool waitForPort(int port, int timeoutMs);

// A child process (a peer server); killed on destruction. Its output goes to
// `logFile` when given.
class Process {
  public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool start(const std::vector<std::string>& argv, const std::string& logFile = "",
               const std::string& workDir = "");
    void stop();
    bool running();
    // Waits up to timeoutMs for the process to end; true when it has.
    bool waitForExit(int timeoutMs);
    pid_t pid() const { return pid_; }
    // The exit status once the process has ended (-1 while it runs or when it died by a signal).
    int exitCode() const { return exitCode_; }

  private:
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

// Result of a black-box run of a program.
struct RunResult {
    int exitCode = -1;  // -1 when it had to be killed at the time-out
    bool timedOut = false;
    std::string output;  // standard output and standard error
};

// Runs argv in workDir, kills it after timeoutMs, captures its output.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& workDir, int timeoutMs);

// Runs build/zentok with the given arguments in workDir.
RunResult runZentokIn(const std::string& workDir, const std::vector<std::string>& args,
                      int timeoutMs = 20000);

// Waits until the notification sender has nothing queued or running, at
// most `timeoutMs`; true when it is idle.
bool waitForSender(int timeoutMs = 60000);

// Counts the occurrences of `needle` in `text`.
int countOf(const std::string& text, const std::string& needle);

// The peers record each field as hexadecimal text, "-" for an empty one.
std::string fromHex(const std::string& hex);

// True when some line of `text` ends otherwise than in CRLF (a lone LF or a
// lone CR), which SMTP forbids.
bool hasBareLineEnd(const std::string& text);

}  // namespace testsupport
