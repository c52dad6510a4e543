// The one-line summary of a running coupler that "systemctl status" shows:
// cycles run, the last cycle's read errors, the time of the last notification
// and the deliveries still pending.
#pragma once

#include <cstdint>
#include <string>

class Coupler;

class ServiceStatus {
  public:
    // Counts one finished cycle of `coupler`; `now` is the time it ended.
    void countCycle(const Coupler& coupler, int64_t now);
    // With the number of notifications still waiting in the outbox.
    std::string line(size_t pendingDeliveries) const;

  private:
    uint64_t cycles_ = 0;
    int readErrors_ = 0;
    int64_t lastNotification_ = 0;
};
