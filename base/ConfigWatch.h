// Waiting between cycles: the main loop sleeps until the next cycle is due or
// the configuration file may have changed, whichever comes first.
#pragma once

#include <cstdint>
#include <string>

class ConfigWatch {
  public:
    // Watches the file at `path` (writes, attribute changes, removal) and its
    // directory for the name appearing, disappearing or being renamed over.
    // Reads of the file and anything done to other files do not wake the wait.
    explicit ConfigWatch(const std::string& path);
    ~ConfigWatch();
    ConfigWatch(const ConfigWatch&) = delete;
    ConfigWatch& operator=(const ConfigWatch&) = delete;

    // Sleeps until an event concerns the file, the wall clock reaches the
    // second set by wakeAtSecond or `timeoutMs` has passed. Never longer than
    // a second, so the caller still looks at a file it cannot watch. True
    // when woken by an event, the second or interrupt().
    bool wait(int timeoutMs);

    // Wakes the next waits once the wall clock reaches `second` (seconds since
    // 1970) and `afterMs` milliseconds, in one sleep; a step of the wall clock
    // wakes them too. 0: no such wake-up.
    void wakeAtSecond(int64_t second, int afterMs = 0);

    // Whether the file may have changed since the last call: an event said
    // so, or the file is not under a watch (no inotify, not there, a network
    // file system whose changes by other hosts raise no event) and a second
    // has passed since the last look.
    bool takeFileChange();

    // Also wakes a wait when a file whose name ends in `suffix` is renamed
    // into `directory` (the operator's requests; what the program writes
    // there itself does not wake it). A link is not followed; false when it
    // cannot be watched.
    bool watchArrivals(const std::string& directory, const std::string& suffix);
    // Whether a file arrived there since the last call.
    bool takeArrivals();

    // Also wakes a wait from a signal handler or another thread.
    void interrupt();

    bool watching() const { return inotifyFd_ >= 0; }
    // How often inotify had something to read: what the watch costs the loop.
    long wakeups() const { return wakeups_; }

  private:
    void watchFile();
    bool fileUnderWatch() const;
    bool readEvents();
    bool noteEvents(const char* events, long length);
    bool takeTimer();
    int timeoutForSecond(int timeoutMs) const;

    std::string path_;
    int inotifyFd_ = -1;
    int fileWatch_ = -1;  // the watch on the file itself; -1 while it does not exist
    bool remoteFile_ = false;
    int arrivalWatch_ = -1;
    std::string arrivalSuffix_;
    bool arrived_ = false;
    bool fileChanged_ = false;
    int64_t lookedAtMs_ = 0;  // the last time takeFileChange looked without an event
    long wakeups_ = 0;
    int wakeFds_[2] = {-1, -1};
    int timerFd_ = -1;
    int64_t wakeMs_ = 0;  // when the timer is set to (wall clock); 0 when none
    std::string name_;    // the file's name within its directory
};
