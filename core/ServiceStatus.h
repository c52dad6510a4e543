// The one-line summary of a running coupler that "systemctl status" shows:
// cycles run, the last cycle's read errors and the time of the last notification.
#pragma once

#include <cstdint>
#include <string>

class Coupler;

class ServiceStatus {
public:
    // Counts one finished cycle of `coupler`; `now` is the time it ended.
    void countCycle(const Coupler& coupler, int64_t now);
    std::string line() const;

private:
    uint64_t cycles_ = 0;
    int readErrors_ = 0;
    int64_t lastNotification_ = 0;
};
