// sd_notify messages for a Type=notify unit.
#include "daemon/ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <ctime>

namespace {

constexpr int64_t kStatusSpacingUs = 1000000;

int64_t monotonicUs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

ServiceNotify::ServiceNotify() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    active_ = socket && *socket;
    if (!active_) return;
    uint64_t usec = 0;
    // Also checks WATCHDOG_PID, so a watchdog meant for another process is left alone.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec >= 2) watchdogHalfUs_ = static_cast<int64_t>(usec / 2);
}

void ServiceNotify::send(const std::string& state) {
    if (active_) sd_notify(0, state.c_str());
}

void ServiceNotify::ready() {
    send("READY=1");
}

void ServiceNotify::reloading() {
    // The monotonic time lets newer service managers match the reload to this message.
    send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(monotonicUs()));
}

void ServiceNotify::stopping() {
    send("STOPPING=1");
}

void ServiceNotify::watchdogTick() {
    if (!active_ || watchdogHalfUs_ == 0) return;
    int64_t now = monotonicUs();
    if (lastPingUs_ >= 0 && now - lastPingUs_ < watchdogHalfUs_) return;
    lastPingUs_ = now;
    send("WATCHDOG=1");
}

void ServiceNotify::status(const std::string& line) {
    if (!active_ || line == lastStatus_) return;
    int64_t now = monotonicUs();
    if (lastStatusUs_ >= 0 && now - lastStatusUs_ < kStatusSpacingUs) return;
    lastStatusUs_ = now;
    lastStatus_ = line;
    send("STATUS=" + line);
}
