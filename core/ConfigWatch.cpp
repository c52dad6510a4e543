// ConfigWatch: inotify on the configuration file's directory (a watch on the
// file itself would be lost when an editor replaces it by rename), plus a
// pipe that lets a signal handler cut a wait short.
#include "core/ConfigWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/Clock.h"
#include "core/DurableFile.h"
#include "core/Log.h"

namespace {

constexpr int kLongestWaitMs = 1000;

constexpr uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_ACCESS | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                             IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

std::string nameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void drain(int fd) {
    char buffer[256];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace

ConfigWatch::ConfigWatch(const std::string& path) : name_(nameOf(path)) {
    if (::pipe2(wakeFds_, O_NONBLOCK | O_CLOEXEC) != 0) wakeFds_[0] = wakeFds_[1] = -1;
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ >= 0 && ::inotify_add_watch(inotifyFd_, directoryOf(path).c_str(), kEvents) >= 0) return;
    int error = errno;
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    inotifyFd_ = -1;
    if (logLevel() >= 3)
        std::printf("coupler, no watch on the configuration file (%s): its status is taken once a second\n",
                    std::strerror(error));
}

ConfigWatch::~ConfigWatch() {
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    for (int fd : wakeFds_)
        if (fd >= 0) ::close(fd);
}

void ConfigWatch::interrupt() {
    if (wakeFds_[1] < 0) return;
    char byte = 1;
    // Async-signal-safe; a full pipe already holds a wake-up.
    ssize_t ignored = ::write(wakeFds_[1], &byte, 1);
    (void)ignored;
}

bool ConfigWatch::concernsTheFile(const char* events, long length) const {
    for (long offset = 0; offset + static_cast<long>(sizeof(inotify_event)) <= length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + offset);
        offset += static_cast<long>(sizeof(inotify_event) + event->len);
        if (offset > length) break;
        // Events of the directory itself (removed, moved) carry no name.
        if (event->len == 0 || name_ == event->name) return true;
    }
    return false;
}

void ConfigWatch::wait(int timeoutMs) {
    if (timeoutMs > kLongestWaitMs) timeoutMs = kLongestWaitMs;
    int64_t deadline = steadyMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        int left = static_cast<int>(deadline - steadyMs());
        if (left <= 0) return;
        pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        int n = ::poll(fds, 2, left);
        if (n < 0 && errno != EINTR) return;
        if (n <= 0) continue;  // a signal: the loop re-checks the time and its flags
        if (fds[1].revents) {
            drain(wakeFds_[0]);
            return;
        }
        alignas(inotify_event) char events[4096];
        long length = ::read(inotifyFd_, events, sizeof events);
        if (length > 0 && concernsTheFile(events, length)) {
            drain(inotifyFd_);
            return;
        }
    }
}
