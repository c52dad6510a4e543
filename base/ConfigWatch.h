// Waiting between cycles: the main loop sleeps until the next cycle is due or
// the configuration file may have changed, whichever comes first.
#pragma once

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

    // Sleeps until an event concerns the file or `timeoutMs` has passed. Never
    // longer than a second, so the caller still follows a step of the wall
    // clock and a file it cannot watch. True when woken by an event or interrupt().
    bool wait(int timeoutMs);

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
    bool concernsTheFile(const char* events, long length);

    std::string path_;
    int inotifyFd_ = -1;
    int fileWatch_ = -1;  // the watch on the file itself; -1 while it does not exist
    int arrivalWatch_ = -1;
    std::string arrivalSuffix_;
    bool arrived_ = false;
    long wakeups_ = 0;
    int wakeFds_[2] = {-1, -1};
    std::string name_;  // the file's name within its directory
};
