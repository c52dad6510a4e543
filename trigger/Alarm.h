// The alarm of a node with an "alarm" line: deadband, on- and off-delay and
// reminders on top of its condition. Each episode is raised once, cleared
// once and reminded of at most remindmax times.
#pragma once

#include <cstdint>

#include "base/Alarm.h"

struct Node;

// What one evaluation decided.
enum class AlarmEvent { None, Raise, Clear, Reminder };

// Moves the alarm of `node` after a successful read at `now`; `holds` is
// whether its condition holds for the value read. Only reads move it, so a
// failed read neither starts nor breaks a delay.
AlarmEvent stepAlarm(Node* node, bool holds, int64_t now);
// "45s", "12m 05s", "3h 20m", "2d 04h": how long an episode has lasted.
void formatAlarmDuration(char* out, int capacity, int64_t seconds);
