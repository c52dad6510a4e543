#include "trigger/DutyWindow.h"

#include <cctype>
#include <cstring>
#include <ctime>

namespace {

constexpr int kMinutesPerDay = 24 * 60;
constexpr const char* kDayNames[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
constexpr const char* kExample = "as Mon-Fri 07:00-17:00, Sat,Sun or 22:00-06:00";

// The day a three-letter name gives, Monday 0; -1 for none.
int dayOf(const std::string& name) {
    if (name.size() != 3) return -1;
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int day = 0; day < 7; ++day)
        if (lower == kDayNames[day]) return day;
    return -1;
}

// "Mon-Fri,Sun" or "*" into days[0..7); false when a part names no day.
bool readDays(const std::string& text, bool* days) {
    if (text == "*") {
        for (int day = 0; day < 7; ++day) days[day] = true;
        return true;
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t dash = part.find('-');
        int first = dayOf(part.substr(0, dash));
        int last = dash == std::string::npos ? first : dayOf(part.substr(dash + 1));
        if (first < 0 || last < 0) return false;
        // A range may run over the week's end: "Fri-Mon".
        for (int day = first;; day = (day + 1) % 7) {
            days[day] = true;
            if (day == last) break;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

// "07:30" into minutes of the day, "24:00" included; -1 when malformed.
int minuteOfDay(const std::string& text) {
    if (text.size() != 5 || text[2] != ':') return -1;
    for (int i : {0, 1, 3, 4})
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
    int hour = (text[0] - '0') * 10 + (text[1] - '0');
    int minute = (text[3] - '0') * 10 + (text[4] - '0');
    if (minute > 59 || hour > 24 || (hour == 24 && minute != 0)) return -1;
    return hour * 60 + minute;
}

}  // namespace

std::string readDutyWindow(const char* text, DutyWeek* week) {
    std::string window = text ? text : "";
    while (!window.empty() && window.front() == ' ') window.erase(0, 1);
    while (!window.empty() && window.back() == ' ') window.pop_back();
    if (window.empty()) return std::string("a duty window needs days or times, ") + kExample;
    std::string daysText = "*", timesText = "00:00-24:00";
    size_t space = window.find(' ');
    if (space != std::string::npos) {
        daysText = window.substr(0, space);
        timesText = window.substr(window.find_first_not_of(' ', space));
    } else if (std::isdigit(static_cast<unsigned char>(window[0]))) {
        timesText = window;
    } else {
        daysText = window;
    }
    bool days[7] = {};
    if (!readDays(daysText, days)) return "'" + daysText + "' names no days, " + kExample;
    size_t dash = timesText.find('-');
    int from = dash == std::string::npos ? -1 : minuteOfDay(timesText.substr(0, dash));
    int to = dash == std::string::npos ? -1 : minuteOfDay(timesText.substr(dash + 1));
    if (from < 0 || to < 0 || from == kMinutesPerDay)
        return "'" + timesText + "' is no time range, " + kExample;
    if (from == to) return "the window '" + window + "' never opens: it closes the minute it opens";
    int length = to > from ? to - from : to + kMinutesPerDay - from;
    for (int day = 0; day < 7; ++day) {
        if (!days[day]) continue;
        for (int minute = 0; minute < length; ++minute)
            week->minutes.set((day * kMinutesPerDay + from + minute) % kMinutesPerWeek);
    }
    week->limited = true;
    return "";
}

int minuteOfWeek(int64_t now) {
    time_t seconds = static_cast<time_t>(now);
    struct tm local {};
    localtime_r(&seconds, &local);
    int day = (local.tm_wday + 6) % 7;
    return day * kMinutesPerDay + local.tm_hour * 60 + local.tm_min;
}

bool onDutyAt(const DutyWeek& week, int64_t now) {
    return !week.limited || week.minutes.test(static_cast<size_t>(minuteOfWeek(now)));
}
