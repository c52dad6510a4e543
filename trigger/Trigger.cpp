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

bool marksSomething(const char* field, int length) {
    int table[60];
    parseTimeTable(table, length, field);
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

// The T condition: hours and minutes tables against the local time, with the
// minute re-arm that lets a time table fire once in every matching minute.
bool evaluateTimeTable(Node* node, char** cursor, int64_t now) {
    char* hoursField = nextToken(cursor, ":");
    if (!hoursField) return false;
    int hours[24];
    parseTimeTable(hours, 24, hoursField);
    char* minutesField = nextToken(cursor, ":");
    if (!minutesField) return false;
    int minutes[60];
    parseTimeTable(minutes, 60, minutesField);

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
    return hours[tmnow.tm_hour] == 1 && minutes[tmnow.tm_min] == 1;
}

bool evaluateConditionAt(Node* node, double previous, int64_t now) {
    if (!node) return false;
    char condition[kNameSize];  // nextToken cuts its text up: work on a copy
    copyText(condition, node->condition);
    char* cursor = condition;
    char* kind = nextToken(&cursor, ":");
    if (!kind || !kind[0]) return false;
    char letter = kind[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');

    double value = node->value;
    switch (letter) {
        case 'N':
            return value != 0.0;  // NaN compares unequal, so it counts as non-zero
        case 'Z':
            return value == 0.0;
        case 'T':
            return evaluateTimeTable(node, &cursor, now);
        case 'D':
        case 'O':
        case 'U': {
            char* field = nextToken(&cursor, ":");
            if (!field) return false;
            double threshold = parseThreshold(field);
            if (letter == 'O') return value > threshold;
            if (letter == 'U') return value < threshold;
            // A change of sign alone is no difference: the magnitudes are compared.
            return std::fabs(std::fabs(value) - std::fabs(previous)) > threshold;
        }
        default:
            return false;
    }
}

}  // namespace

bool evaluateCondition(Node* node, double previous) {
    return evaluateConditionAt(node, previous, currentTime());
}

void evaluateTrigger(Node* node, double previous) {
    if (!node) return;
    // One reading of the clock for the condition and the trigger time, so a
    // firing is stamped with the minute its time table matched.
    int64_t now = currentTime();
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

const char* conditionProblem(const char* condition) {
    if (!condition) return "it is empty";
    char text[kNameSize];  // nextToken cuts its text up: work on a copy
    copyText(text, condition);
    char* cursor = text;
    char* kind = nextToken(&cursor, ":");
    if (!kind || !kind[0]) return "it is empty";
    switch (kind[0]) {
        case 'N':
        case 'n':
        case 'Z':
        case 'z':
            return nullptr;
        case 'D':
        case 'd':
        case 'O':
        case 'o':
        case 'U':
        case 'u': {
            char* field = nextToken(&cursor, ":");
            if (!field || !startsWithNumber(field)) return "D, O and U need a number, as in O:100";
            return nullptr;
        }
        case 'T':
        case 't': {
            char* hours = nextToken(&cursor, ":");
            char* minutes = hours ? nextToken(&cursor, ":") : nullptr;
            if (!minutes) return "T needs hours and minutes, as in T:8,12:0";
            if (!marksSomething(hours, 24)) return "its hours match no hour (0 to 23, no blanks)";
            if (!marksSomething(minutes, 60)) return "its minutes match no minute (0 to 59, no blanks)";
            return nullptr;
        }
        default:
            return "unknown letter (D, N, O, U, Z or T)";
    }
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
