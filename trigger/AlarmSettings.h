// The "alarm" line of a node, parsed once at load into typed settings.
#pragma once

#include <string>

struct AlarmSettings;

// The longest delay or reminder interval a setting may name: a week. Longer
// is a typing error, not an alarm anyone waits for.
constexpr int kLongestAlarmSeconds = 7 * 24 * 3600;
constexpr int kMostReminders = 1000;

// Seconds from "10", "10s", "30m" or "2h"; -1 when the text is none of these
// or lies beyond kLongestAlarmSeconds.
int parseAlarmDuration(const char* text);
// Fills `settings` from the fields behind the keyword of an "alarm" line
// (`cursor` as nextToken leaves it) for a node of `condition`. Empty when the
// line is sound, otherwise what is wrong with it.
std::string parseAlarmLine(char* cursor, const char* condition, AlarmSettings* settings);
