// ConfigWatch: inotify on the configuration file itself for writes and
// attribute changes, and on its directory only for names appearing,
// disappearing or being renamed over (an editor that saves by rename replaces
// the file the first watch is on), plus a pipe that lets a signal handler cut
// a wait short. Writes to and reads of other files in the directory never
// wake the loop.
#include "base/ConfigWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Clock.h"
#include "base/DurableFile.h"
#include "base/Log.h"

namespace {

constexpr int kLongestWaitMs = 1000;

constexpr uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kDirectoryEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::string nameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const char* name, const std::string& suffix) {
    size_t length = std::strlen(name);
    return length >= suffix.size() && suffix.compare(0, suffix.size(), name + length - suffix.size()) == 0;
}

void drain(int fd) {
    char buffer[256];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace

ConfigWatch::ConfigWatch(const std::string& path) : path_(path), name_(nameOf(path)) {
    if (::pipe2(wakeFds_, O_NONBLOCK | O_CLOEXEC) != 0) wakeFds_[0] = wakeFds_[1] = -1;
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ >= 0 &&
        ::inotify_add_watch(inotifyFd_, directoryOf(path).c_str(), kDirectoryEvents) >= 0) {
        watchFile();
        return;
    }
    int error = errno;
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    inotifyFd_ = -1;
    logf(Log::Connection,
         "coupler, no watch on the configuration file (%s): its status is taken once a second\n",
         std::strerror(error));
}

ConfigWatch::~ConfigWatch() {
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    for (int fd : wakeFds_)
        if (fd >= 0) ::close(fd);
}

// Follows the name to the file it stands for now; a file that is not there
// yet is watched once the directory reports its name.
void ConfigWatch::watchFile() {
    int watch = ::inotify_add_watch(inotifyFd_, path_.c_str(), kFileEvents);
    if (fileWatch_ >= 0 && watch != fileWatch_) ::inotify_rm_watch(inotifyFd_, fileWatch_);
    fileWatch_ = watch;
}

bool ConfigWatch::watchArrivals(const std::string& directory, const std::string& suffix) {
    if (inotifyFd_ < 0) return false;
    arrivalSuffix_ = suffix;
    arrivalWatch_ =
        ::inotify_add_watch(inotifyFd_, directory.c_str(), IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW);
    return arrivalWatch_ >= 0;
}

bool ConfigWatch::takeArrivals() {
    bool arrived = arrived_;
    arrived_ = false;
    return arrived;
}

void ConfigWatch::interrupt() {
    if (wakeFds_[1] < 0) return;
    char byte = 1;
    // Async-signal-safe; a full pipe already holds a wake-up.
    ssize_t ignored = ::write(wakeFds_[1], &byte, 1);
    (void)ignored;
}

bool ConfigWatch::concernsTheFile(const char* events, long length) {
    bool concerns = false;
    bool renamed = false;
    for (long offset = 0; offset + static_cast<long>(sizeof(inotify_event)) <= length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + offset);
        offset += static_cast<long>(sizeof(inotify_event) + event->len);
        if (offset > length) break;
        if (event->wd == arrivalWatch_) {
            if (event->len > 0 && endsWith(event->name, arrivalSuffix_))
                concerns = arrived_ = true;  // a request arrived
        } else if (event->wd == fileWatch_) {
            concerns = true;  // the file itself: written, touched, removed or moved away
        } else if (event->len == 0 || name_ == event->name) {
            // The directory itself (removed, moved), or the name now stands for another file.
            concerns = true;
            renamed = true;
        }
    }
    if (renamed) watchFile();
    return concerns;
}

bool ConfigWatch::wait(int timeoutMs) {
    if (timeoutMs > kLongestWaitMs) timeoutMs = kLongestWaitMs;
    int64_t deadline = steadyMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        int left = static_cast<int>(deadline - steadyMs());
        if (left <= 0) return false;
        pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        int n = ::poll(fds, 2, left);
        if (n < 0 && errno != EINTR) return false;
        if (n <= 0) continue;  // a signal: the loop re-checks the time and its flags
        if (fds[1].revents) {
            drain(wakeFds_[0]);
            return true;
        }
        ++wakeups_;
        alignas(inotify_event) char events[4096];
        long length = ::read(inotifyFd_, events, sizeof events);
        if (length > 0 && concernsTheFile(events, length)) {
            drain(inotifyFd_);
            return true;
        }
    }
}
