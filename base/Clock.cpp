// The replaceable clock.
#include "base/Clock.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace {
std::function<int64_t()>& testClock() {
    static std::function<int64_t()> clock;
    return clock;
}
std::atomic<int64_t> gSteadyOffsetMs{0};
}  // namespace

int64_t currentTime() {
    auto& clock = testClock();
    if (clock) return clock();
    // Not time(): it reads the kernel's coarse clock, which turns a second up
    // to a tick later than the real-time clock a timer expires on, so a loop
    // woken at the turn of the second would still find the old second.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec);
}

int64_t currentTimeMs() {
    auto& clock = testClock();
    if (clock) return clock() * 1000;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() +
           gSteadyOffsetMs.load();
}

void setClockForTesting(std::function<int64_t()> clock) {
    testClock() = std::move(clock);
}

void setSteadyOffsetForTesting(int64_t ms) {
    gSteadyOffsetMs = ms;
}
