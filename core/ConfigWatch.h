// Waiting between cycles: the main loop sleeps until the next cycle is due or
// the configuration file may have changed, whichever comes first.
#pragma once

#include <string>

class ConfigWatch {
  public:
    // Watches the directory of `path` (creation, replacement by rename, writes,
    // attribute changes, reads and removal of the file all wake the wait).
    explicit ConfigWatch(const std::string& path);
    ~ConfigWatch();
    ConfigWatch(const ConfigWatch&) = delete;
    ConfigWatch& operator=(const ConfigWatch&) = delete;

    // Sleeps until an event concerns the file or `timeoutMs` has passed. Never
    // longer than a second, so the caller still follows a step of the wall
    // clock and a file it cannot watch.
    void wait(int timeoutMs);

    // Also wakes a wait from a signal handler or another thread.
    void interrupt();

    bool watching() const { return inotifyFd_ >= 0; }

  private:
    bool concernsTheFile(const char* events, long length) const;

    int inotifyFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::string name_;  // the file's name within its directory
};
