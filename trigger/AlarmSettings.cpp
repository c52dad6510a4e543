// The "alarm" line: name=value settings that follow a node line, checked
// against the node's condition so a deadband that can never clear, or a
// reminder that can never come, is refused at load.
#include "trigger/AlarmSettings.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/Alarm.h"
#include "base/Records.h"
#include "base/Text.h"

namespace {

// The upper-case letter of a condition, 0 when it has none.
char conditionLetter(const char* condition) {
    char letter = condition ? condition[0] : '\0';
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    return letter;
}

// The threshold of an O or U condition as the trigger reads it.
double thresholdOf(const char* condition) {
    const char* colon = std::strchr(condition, ':');
    return colon ? std::strtod(colon + 1, nullptr) : 0.0;
}

// A whole decimal number and nothing else, as "clear" wants it.
bool readNumber(const char* text, double* number) {
    char* end = nullptr;
    *number = std::strtod(text, &end);
    return end != text && *end == 0 && *number == *number && std::fabs(*number) < 1e300;
}

struct LineParser {
    AlarmSettings* settings;
    bool sawRemindMax = false;

    std::string durationSetting(const char* name, const char* value, int* target, int least) {
        int seconds = parseAlarmDuration(value);
        if (seconds < least)
            return std::string(name) + "=" + value + ": a duration from " + std::to_string(least) +
                   " s to 7 days (as 10, 10s, 30m or 2h)";
        *target = seconds;
        return "";
    }

    std::string setting(const char* name, const char* value) {
        if (equalsIgnoreCase(name, "on")) return durationSetting(name, value, &settings->onDelaySeconds, 0);
        if (equalsIgnoreCase(name, "off")) return durationSetting(name, value, &settings->offDelaySeconds, 0);
        if (equalsIgnoreCase(name, "remind"))
            return durationSetting(name, value, &settings->remindSeconds, 1);
        if (equalsIgnoreCase(name, "remindmax")) {
            char* end = nullptr;
            long count = std::strtol(value, &end, 10);
            if (end == value || *end || count < 1 || count > kMostReminders)
                return "remindmax=" + std::string(value) + ": a count from 1 to " +
                       std::to_string(kMostReminders);
            settings->remindMax = static_cast<int>(count);
            sawRemindMax = true;
            return "";
        }
        if (equalsIgnoreCase(name, "clear")) {
            if (hasDecimalComma(value)) {
                std::string corrected = value;
                for (char& c : corrected)
                    if (c == ',') c = '.';
                return "clear=" + std::string(value) +
                       ": write a decimal point, not a comma, as clear=" + corrected;
            }
            if (!readNumber(value, &settings->clearLevel))
                return "clear=" + std::string(value) + ": no number";
            settings->hasClearLevel = true;
            return "";
        }
        if (equalsIgnoreCase(name, "normal")) {
            if (std::strlen(value) >= static_cast<size_t>(kAlarmTemplateSize))
                return "normal=: the template is too long";
            copyText(settings->normal, value);
            return "";
        }
        return "unknown alarm setting '" + std::string(name) +
               "' (clear, on, off, normal, remind, remindmax)";
    }

    // A clear level re-arms the node once the value is back past it, so it
    // lies on the far side of the threshold from the alarm.
    std::string checkClearLevel(const char* condition) const {
        if (!settings->hasClearLevel) return "";
        char letter = conditionLetter(condition);
        if (letter != 'O' && letter != 'U')
            return "a clear level needs an O or U condition, not '" + std::string(condition) + "'";
        double threshold = thresholdOf(condition);
        if (letter == 'O' && settings->clearLevel > threshold)
            return "clear level above the threshold of '" + std::string(condition) + "' could never clear";
        if (letter == 'U' && settings->clearLevel < threshold)
            return "clear level below the threshold of '" + std::string(condition) + "' could never clear";
        return "";
    }
};

}  // namespace

int parseAlarmDuration(const char* text) {
    return static_cast<int>(parseDuration(text, kLongestAlarmSeconds));
}

std::string parseAlarmLine(char* cursor, const char* condition, AlarmSettings* settings) {
    *settings = AlarmSettings{};
    settings->enabled = true;
    LineParser parser{settings};
    while (char* field = nextToken(&cursor, ";")) {
        if (!*field) continue;
        char* equals = std::strchr(field, '=');
        if (!equals) return "alarm setting '" + std::string(field) + "' has no '=' (as on=10s)";
        *equals = 0;
        std::string fault = parser.setting(field, equals + 1);
        if (!fault.empty()) return fault;
    }
    if (parser.sawRemindMax && settings->remindSeconds == 0) return "remindmax without remind (an interval)";
    return parser.checkClearLevel(condition ? condition : "");
}
