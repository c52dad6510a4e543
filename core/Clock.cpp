// The replaceable clock.
#include "core/Clock.h"

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
    return static_cast<int64_t>(std::time(nullptr));
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
