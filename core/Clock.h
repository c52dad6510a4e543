// The one clock of the program. Intervals, trigger times and time tables all
// read "now" here, so tests can move time without sleeping.
#pragma once

#include <cstdint>
#include <functional>

// Seconds since 1970.
int64_t currentTime();

// Replaces the clock; an empty function restores the system clock.
void setClockForTesting(std::function<int64_t()> clock);
