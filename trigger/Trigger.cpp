// Trigger conditions: the letter-coded condition language (D, N, O, U, Z, T)
// and the per-node trigger state that decides when a node's message goes out.
#include "trigger/Trigger.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/Clock.h"
#include "base/Records.h"
#include "base/Text.h"
#include "trigger/Alarm.h"

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// True when `text`, after leading blanks, starts with a decimal number.
bool startsWithNumber(const char* text) {
    const char* p = text;
    while (isBlank(*p)) ++p;
    if (*p == '+' || *p == '-') ++p;
    if (*p == '.') ++p;
    return isDigit(*p);
}

bool marksSomething(const int* table, int length) {
    for (int i = 0; i < length; ++i)
        if (table[i]) return true;
    return false;
}

// A threshold: leading blanks, then the longest prefix that is a decimal
// number with an optional fraction and exponent; 0 when there is none.
// Only that prefix goes to strtod, so hexadecimal forms, "inf" and "nan"
// read as 0 like any other text that is no decimal number.
double parseThreshold(const char* text) {
    const char* p = text;
    while (isBlank(*p)) ++p;
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    const char* digitsStart = p;
    while (isDigit(*p)) ++p;
    int digits = static_cast<int>(p - digitsStart);
    if (*p == '.') {
        ++p;
        const char* fraction = p;
        while (isDigit(*p)) ++p;
        digits += static_cast<int>(p - fraction);
    }
    if (digits == 0) return 0.0;
    if (*p == 'e' || *p == 'E') {
        const char* exponent = p + 1;
        if (*exponent == '+' || *exponent == '-') ++exponent;
        if (isDigit(*exponent)) {
            p = exponent;
            while (isDigit(*p)) ++p;
        }
    }
    // The condition holds at most 99 characters, so the prefix always fits.
    char number[kNameSize];
    size_t length = static_cast<size_t>(p - start);
    if (length >= sizeof number) length = sizeof number - 1;
    std::memcpy(number, start, length);
    number[length] = 0;
    return std::strtod(number, nullptr);
}

// Whole minutes since 1970; the division rounds towards zero for every sign.
int64_t minuteOf(int64_t seconds) {
    return seconds / 60;
}

// The T condition: the tables against the local time, with the minute
// re-arm that lets a time table fire once in every matching minute.
bool evaluateTimeTable(Node* node, int64_t now) {
    time_t clock = static_cast<time_t>(now);
    struct tm tmnow {};
    if (!localtime_r(&clock, &tmnow)) return false;

    // Re-armed whether or not the tables match now, so the next matching
    // minute fires again even when the previous message never went out. Any
    // other minute re-arms, also an earlier one: after the clock went back
    // (the autumn change, a manual correction) the stored local trigger time
    // lies in the future and would otherwise hold the table off for hours.
    if (node->triggerTime != 0 && minuteOf(now) != minuteOf(node->triggerTime)) {
        node->triggerTime = 0;
        node->active = false;
        node->sent = false;
    }
    if (tmnow.tm_hour < 0 || tmnow.tm_hour > 23 || tmnow.tm_min < 0 || tmnow.tm_min > 59) return false;
    return node->trigger.hours[tmnow.tm_hour] == 1 && node->trigger.minutes[tmnow.tm_min] == 1;
}

// The S condition: counts how long the value has stayed within the
// tolerance of its reference, between good reads only. The first good read
// after a failed one (or a restart) counts nothing, so a link loss never
// looks like a frozen sensor; a value that moves starts the count anew.
bool evaluateStill(Node* node, int64_t now) {
    StillWatch& still = node->still;
    // NaN compares false, so a value that is no number counts as moved.
    bool within = still.seeded && std::fabs(node->value - still.reference) <= node->trigger.threshold;
    if (!within) {
        still.seeded = true;
        still.reference = node->value;
        still.stillSeconds = 0;
    } else if (still.countedAt != 0 && now > still.countedAt) {
        still.stillSeconds += now - still.countedAt;
    }
    still.countedAt = now;
    return still.stillSeconds >= node->trigger.seconds;
}

bool evaluateConditionAt(Node* node, double previous, int64_t now) {
    if (!node) return false;
    const Condition& condition = node->trigger;
    double value = node->value;
    switch (condition.kind) {
        case ConditionKind::NonZero:
            return value != 0.0;  // NaN compares unequal, so it counts as non-zero
        case ConditionKind::Zero:
            return value == 0.0;
        case ConditionKind::TimeTable:
            return evaluateTimeTable(node, now);
        case ConditionKind::Over:
            return value > condition.threshold;
        case ConditionKind::Under:
            return value < condition.threshold;
        case ConditionKind::Difference:
            // A change of sign alone is no difference: the magnitudes are compared.
            return std::fabs(std::fabs(value) - std::fabs(previous)) > condition.threshold;
        case ConditionKind::Frozen:
            return evaluateStill(node, now);
        case ConditionKind::Range:
            // A value that is no number is no reading a sensor can give either.
            return !(value >= condition.threshold && value <= condition.upper);
        case ConditionKind::Never:
            break;
    }
    return false;
}

// The longest S duration: a week, as for the alarm delays.
constexpr int64_t kLongestStillSeconds = int64_t{7} * 24 * 3600;

// "D, O and U need a number", read into `out`; null when the field is one.
const char* readNumberField(char* field, double* out, const char* missing) {
    if (!field) return missing;
    *out = parseThreshold(field);
    if (!startsWithNumber(field)) return missing;
    if (hasDecimalComma(field)) return kDecimalCommaProblem;
    return nullptr;
}

ConditionKind kindOfLetter(char letter) {
    switch (letter) {
        case 'D':
        case 'd':
            return ConditionKind::Difference;
        case 'N':
        case 'n':
            return ConditionKind::NonZero;
        case 'O':
        case 'o':
            return ConditionKind::Over;
        case 'U':
        case 'u':
            return ConditionKind::Under;
        case 'Z':
        case 'z':
            return ConditionKind::Zero;
        case 'T':
        case 't':
            return ConditionKind::TimeTable;
        case 'S':
        case 's':
            return ConditionKind::Frozen;
        case 'R':
        case 'r':
            return ConditionKind::Range;
        default:
            return ConditionKind::Never;
    }
}

}  // namespace

bool evaluateCondition(Node* node, double previous) {
    return evaluateConditionAt(node, previous, currentTime());
}

void evaluateTrigger(Node* node, double previous) {
    // One reading of the clock for the condition and the trigger time, so a
    // firing is stamped with the minute its time table matched.
    evaluateTriggerAt(node, previous, currentTime());
}

void evaluateTriggerAt(Node* node, double previous, int64_t now) {
    if (!node) return;
    node->evaluated = true;
    bool fired = evaluateConditionAt(node, previous, now);
    if (node->alarm.enabled) {
        stepAlarm(node, fired, now);
        return;
    }
    if (fired && !node->active) {
        node->active = true;
        node->sent = false;
        node->triggerTime = now;
    } else if (!fired && node->sent) {
        // Re-armed only once the message has gone out; a firing whose message
        // is still pending stays active so it is not lost.
        node->sent = false;
        node->active = false;
        node->triggerTime = 0;
    }
}

void noteFailedRead(Node* node) {
    if (!node) return;
    if (node->readError == 0) node->readError = kReadFailed;
    node->still.countedAt = 0;
}

const char* const kDecimalCommaProblem = "a decimal comma";

const char* readCondition(const char* text, Condition* out) {
    *out = Condition{};
    if (!text) return "it is empty";
    char copy[kNameSize];  // nextToken cuts its text up: work on a copy
    copyText(copy, text);
    char* cursor = copy;
    char* letter = nextToken(&cursor, ":");
    if (!letter || !letter[0]) return "it is empty";
    ConditionKind kind = kindOfLetter(letter[0]);
    switch (kind) {
        case ConditionKind::NonZero:
        case ConditionKind::Zero:
            out->kind = kind;
            return nullptr;
        case ConditionKind::Difference:
        case ConditionKind::Over:
        case ConditionKind::Under: {
            char* field = nextToken(&cursor, ":");
            if (!field) return "D, O and U need a number, as in O:100";
            out->kind = kind;
            out->threshold = parseThreshold(field);
            if (!startsWithNumber(field)) return "D, O and U need a number, as in O:100";
            if (hasDecimalComma(field)) return kDecimalCommaProblem;
            return nullptr;
        }
        case ConditionKind::TimeTable: {
            char* hours = nextToken(&cursor, ":");
            char* minutes = hours ? nextToken(&cursor, ":") : nullptr;
            if (!minutes) return "T needs hours and minutes, as in T:8,12:0";
            out->kind = kind;
            parseTimeTable(out->hours, 24, hours);
            parseTimeTable(out->minutes, 60, minutes);
            if (!marksSomething(out->hours, 24)) return "its hours match no hour (0 to 23, no blanks)";
            if (!marksSomething(out->minutes, 60)) return "its minutes match no minute (0 to 59, no blanks)";
            return nullptr;
        }
        case ConditionKind::Frozen: {
            constexpr const char* kNeeds =
                "S needs a duration and may have a tolerance, as in S:15m or S:30s:0.5";
            char* duration = nextToken(&cursor, ":");
            int64_t seconds = duration ? parseDuration(duration, kLongestStillSeconds) : -1;
            if (seconds <= 0) return kNeeds;
            out->kind = kind;
            out->seconds = static_cast<int>(seconds);
            char* tolerance = nextToken(&cursor, ":");
            if (!tolerance) return nullptr;
            const char* problem = readNumberField(tolerance, &out->threshold, kNeeds);
            if (!problem && out->threshold < 0) return "S: a tolerance is not negative";
            return problem;
        }
        case ConditionKind::Range: {
            constexpr const char* kNeeds = "R needs the least and the greatest value, as in R:-20:150";
            char* least = nextToken(&cursor, ":");
            char* greatest = least ? nextToken(&cursor, ":") : nullptr;
            out->kind = kind;
            const char* problem = readNumberField(least, &out->threshold, kNeeds);
            if (!problem) problem = readNumberField(greatest, &out->upper, kNeeds);
            if (!problem && out->threshold >= out->upper) {
                out->kind = ConditionKind::Never;  // it would hold at every read
                return "R: its least value is not below its greatest";
            }
            return problem;
        }
        case ConditionKind::Never:
            break;
    }
    return "unknown letter (D, N, O, U, Z, T, S or R)";
}

const char* conditionProblem(const char* condition) {
    Condition parsed;
    return readCondition(condition, &parsed);
}

void setCondition(Node* node, const char* text) {
    if (!node) return;
    copyText(node->condition, text);
    readCondition(node->condition, &node->trigger);
}

void parseTimeTable(int* table, int length, const char* text) {
    if (!table || length <= 0) return;
    for (int i = 0; i < length; ++i) table[i] = 0;
    if (!text) return;
    char str[kNameSize];
    copyText(str, text);

    if (str[0] == '*') {
        // "*/n" names the first marked entry, not a step.
        int start = str[1] == '/' ? parseInt(str + 2) : 0;
        if (start < 0) start = 0;
        for (int i = start; i < length; ++i) table[i] = 1;
        return;
    }
    // Any non-digit separates the numbers, so "8,12,17" and "8 12 17" read
    // alike; a text that does not start with a digit marks nothing rather
    // than a guess.
    const char* p = str;
    while (isDigit(*p)) {
        long number = 0;
        while (isDigit(*p)) {
            if (number <= length) number = number * 10 + (*p - '0');  // saturates above the table
            ++p;
        }
        if (number < length) table[number] = 1;
        while (*p && !isDigit(*p)) ++p;
    }
}
