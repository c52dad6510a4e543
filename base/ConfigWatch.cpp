// ConfigWatch: inotify on the configuration file itself for writes and
// attribute changes, and on its directory only for names appearing,
// disappearing or being renamed over (an editor that saves by rename replaces
// the file the first watch is on), a timer on the wall clock for the turn of
// the second a cycle is due at, plus a pipe that lets a signal handler cut a
// wait short. Writes to and reads of other files in the directory never wake
// the loop.
#include "base/ConfigWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/Clock.h"
#include "base/DurableFile.h"
#include "base/ErrorText.h"
#include "base/Log.h"

namespace {

constexpr int kLongestWaitMs = 1000;

constexpr uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
// A write leaves the file where it is; anything else may mean the name now
// stands for another file (a symbolic link's target saved by rename).
constexpr uint32_t kWriteEvents = IN_MODIFY | IN_CLOSE_WRITE;
constexpr uint32_t kDirectoryEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// File systems whose files another host may change without an event here
// (statfs(2) magic numbers of NFS, SMB, CIFS, SMB2, FUSE, 9P and Ceph).
constexpr unsigned long kRemoteFileSystems[] = {0x6969,     0x517B,     0xFF534D42, 0xFE534D42,
                                                0x65735546, 0x01021997, 0x00C36400};

std::string nameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const char* name, const std::string& suffix) {
    size_t length = std::strlen(name);
    return length >= suffix.size() && suffix.compare(0, suffix.size(), name + length - suffix.size()) == 0;
}

bool onRemoteFileSystem(const std::string& path) {
    struct statfs status {};
    if (::statfs(path.c_str(), &status) != 0) return false;
    auto type = static_cast<unsigned long>(status.f_type) & 0xFFFFFFFFul;
    return std::find(std::begin(kRemoteFileSystems), std::end(kRemoteFileSystems), type) !=
           std::end(kRemoteFileSystems);
}

void drain(int fd) {
    char buffer[256];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

int64_t wallClockMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

ConfigWatch::ConfigWatch(const std::string& path) : path_(path), name_(nameOf(path)) {
    if (::pipe2(wakeFds_, O_NONBLOCK | O_CLOEXEC) != 0) wakeFds_[0] = wakeFds_[1] = -1;
    timerFd_ = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
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
         errorText(error));
}

ConfigWatch::~ConfigWatch() {
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    if (timerFd_ >= 0) ::close(timerFd_);
    for (int fd : wakeFds_)
        if (fd >= 0) ::close(fd);
}

// Follows the name to the file it stands for now; a file that is not there
// yet is watched once the directory reports its name.
void ConfigWatch::watchFile() {
    int watch = ::inotify_add_watch(inotifyFd_, path_.c_str(), kFileEvents);
    if (fileWatch_ >= 0 && watch != fileWatch_) ::inotify_rm_watch(inotifyFd_, fileWatch_);
    fileWatch_ = watch;
    remoteFile_ = watch >= 0 && onRemoteFileSystem(path_);
}

bool ConfigWatch::fileUnderWatch() const {
    return inotifyFd_ >= 0 && fileWatch_ >= 0 && !remoteFile_;
}

bool ConfigWatch::takeFileChange() {
    // Cycles that follow each other without a wait (readinterval 0) must
    // still learn of a change: what inotify holds is read here too.
    if (inotifyFd_ >= 0) readEvents();
    int64_t now = steadyMs();
    if (fileChanged_) {
        fileChanged_ = false;
        lookedAtMs_ = now;
        return true;
    }
    if (fileUnderWatch() || now - lookedAtMs_ < kLongestWaitMs) return false;
    lookedAtMs_ = now;
    return true;
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

void ConfigWatch::wakeAtSecond(int64_t second, int afterMs) {
    int64_t at = second > 0 ? second * 1000 + afterMs : 0;
    if (at == wakeMs_) return;  // still set, and not yet expired
    wakeMs_ = at;
    if (timerFd_ < 0) return;
    itimerspec when{};  // all zero disarms it
    when.it_value.tv_sec = static_cast<time_t>(at / 1000);
    when.it_value.tv_nsec = static_cast<long>(at % 1000) * 1000000L;
    // Absolute, so the sleep ends at its time however long the way here
    // took; a step of the wall clock ends it as well.
    int flags = at > 0 ? TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET : 0;
    if (::timerfd_settime(timerFd_, flags, &when, nullptr) != 0) {
        ::close(timerFd_);
        timerFd_ = -1;  // the waits count the milliseconds instead
    }
}

// True when the timer expired or the wall clock was set; either way it must
// be set again.
bool ConfigWatch::takeTimer() {
    uint64_t expirations = 0;
    if (::read(timerFd_, &expirations, sizeof expirations) < 0 && errno != ECANCELED) return false;
    wakeMs_ = 0;
    return true;
}

// Without a timer the wait ends at the second by the milliseconds left.
int ConfigWatch::timeoutForSecond(int timeoutMs) const {
    if (timerFd_ >= 0 || wakeMs_ <= 0) return timeoutMs;
    int64_t left = wakeMs_ - wallClockMs();
    return static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(timeoutMs, left)));
}

bool ConfigWatch::noteEvents(const char* events, long length) {
    bool concerns = false;
    bool rewatch = false;
    for (long offset = 0; offset + static_cast<long>(sizeof(inotify_event)) <= length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + offset);
        offset += static_cast<long>(sizeof(inotify_event) + event->len);
        if (offset > length) break;
        if (event->mask & IN_Q_OVERFLOW) {
            // Events were lost: anything may have happened.
            concerns = fileChanged_ = arrived_ = rewatch = true;
        } else if (arrivalWatch_ >= 0 && event->wd == arrivalWatch_) {
            if (event->len > 0 && endsWith(event->name, arrivalSuffix_))
                concerns = arrived_ = true;  // a request arrived
        } else if (event->wd == fileWatch_) {
            // The file itself: written, touched, removed or moved away.
            concerns = fileChanged_ = true;
            if (event->mask & ~kWriteEvents) rewatch = true;
        } else if (event->len == 0 || name_ == event->name) {
            // The directory itself (removed, moved), or the name now stands for another file.
            concerns = fileChanged_ = rewatch = true;
        }
    }
    if (rewatch) watchFile();
    return concerns;
}

// Reads every event there is, so none that concerns the file is passed over.
bool ConfigWatch::readEvents() {
    bool concerns = false;
    alignas(inotify_event) char events[4096];
    long length;
    while ((length = ::read(inotifyFd_, events, sizeof events)) > 0)
        if (noteEvents(events, length)) concerns = true;
    return concerns;
}

bool ConfigWatch::wait(int timeoutMs) {
    if (timeoutMs > kLongestWaitMs) timeoutMs = kLongestWaitMs;
    timeoutMs = timeoutForSecond(timeoutMs);
    int64_t deadline = steadyMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        int left = static_cast<int>(deadline - steadyMs());
        if (left <= 0) return false;
        pollfd fds[3] = {{inotifyFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}, {timerFd_, POLLIN, 0}};
        int n = ::poll(fds, 3, left);
        if (n < 0 && errno != EINTR) return false;
        if (n <= 0) continue;  // a signal: the loop re-checks the time and its flags
        bool woken = false;
        if (fds[0].revents) {
            ++wakeups_;
            woken = readEvents();
        }
        if (fds[1].revents) {
            drain(wakeFds_[0]);
            woken = true;
        }
        if (fds[2].revents && takeTimer()) woken = true;
        if (woken) return true;
    }
}
