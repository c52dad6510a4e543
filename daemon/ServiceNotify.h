// Readiness, watchdog and status reports to systemd through sd_notify. All of
// it stays idle unless the service manager handed the program a NOTIFY_SOCKET.
#pragma once

#include <cstdint>
#include <string>

class ServiceNotify {
  public:
    // Reads NOTIFY_SOCKET and WATCHDOG_USEC once.
    ServiceNotify();

    bool active() const { return active_; }
    void ready();
    void reloading();
    void stopping();

    // Cheap enough for every pass of the main loop: sends WATCHDOG=1 only when
    // half of WATCHDOG_USEC has passed since the last one. Called from the loop
    // itself, so a hung loop stops the pings and systemd restarts the program.
    void watchdogTick();
    // How long the loop may go without a watchdogTick; 0 when no watchdog runs.
    int64_t watchdogIntervalMs() const { return watchdogHalfUs_ / 1000; }

    // The one-line summary "systemctl status" shows; a line equal to the last
    // one is not sent again, and a new one at most once a second.
    void status(const std::string& line);

  private:
    void send(const std::string& state);

    bool active_ = false;
    int64_t watchdogHalfUs_ = 0;
    int64_t lastPingUs_ = -1;
    int64_t lastStatusUs_ = -1;
    std::string lastStatus_;
};
