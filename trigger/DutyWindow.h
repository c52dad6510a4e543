// Duty windows: the weekly times a group is on duty ("when" lines), read
// once at load into the minutes of the week, and the look-up at a moment.
#pragma once

#include <cstdint>
#include <string>

#include "base/Ladder.h"

// Adds one window to `week`: "[DAYS ]HH:MM-HH:MM" or "DAYS", with DAYS a list
// of days and day ranges ("Mon-Fri", "Sat,Sun", "Fri-Mon", "*"). A window that
// ends at or before its start runs past midnight into the next day. Returns
// why it cannot be read; empty when it was added.
std::string readDutyWindow(const char* text, DutyWeek* week);
// Monday 00:00 is 0, local time.
int minuteOfWeek(int64_t now);
// On duty at `now`: always while no window limits the group.
bool onDutyAt(const DutyWeek& week, int64_t now);
