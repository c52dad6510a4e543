// The one clock of the program. Intervals, trigger times and time tables all
// read "now" here, so tests can move time without sleeping.
#pragma once

#include <cstdint>
#include <functional>

// Seconds since 1970.
int64_t currentTime();
// Milliseconds since 1970, by the same clock (a test's clock counts whole seconds).
int64_t currentTimeMs();

// Milliseconds of the monotonic clock, for deadlines and waits that a step of
// the wall clock must neither stretch nor cut.
int64_t steadyMs();

// Replaces the clock; an empty function restores the system clock.
void setClockForTesting(std::function<int64_t()> clock);
// Moves the monotonic clock ahead of the system's by `ms` (0 restores it), so
// tests can let time pass for waits that follow elapsed time.
void setSteadyOffsetForTesting(int64_t ms);
