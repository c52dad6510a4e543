// Field tokenizer, date parser and bounded text helpers.
#include "base/Text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool isSeparator(char c, const char* separators) {
    return c != 0 && std::strchr(separators, c) != nullptr;
}

// Drops the line end: control characters other than TAB at the end of the
// remaining text, never its first character.
void trimTrailingControls(char* text) {
    size_t length = std::strlen(text);
    while (length > 1) {
        unsigned char last = static_cast<unsigned char>(text[length - 1]);
        if (last >= 0x20 || last == '\t') break;
        text[--length] = 0;
    }
}

}  // namespace

char* nextToken(char** cursor, const char* separators) {
    if (!cursor || !*cursor || !separators || !*separators) return nullptr;
    char* start = *cursor;
    trimTrailingControls(start);

    char* read = start;
    char* write = start;
    bool quoted = (*read == '"');
    if (quoted) ++read;

    char* next = nullptr;  // where the following field starts, if any
    while (*read) {
        char c = *read;
        if (quoted && c == '"') {
            char after = read[1];
            if (after == 0) {  // closing quote at the end of the text
                read += 1;
                break;
            }
            if (isSeparator(after, separators)) {  // closing quote and separator
                next = read + 2;
                break;
            }
            *write++ = after;  // a quote followed by anything else: keep that character
            read += 2;
            continue;
        }
        if (!quoted && isSeparator(c, separators)) {
            next = read + 1;
            break;
        }
        *write++ = c;
        ++read;
    }
    *write = 0;
    *cursor = (next && *next) ? next : nullptr;
    return start;
}

std::string formatDateTime(int64_t seconds) {
    if (seconds == 0) return "";
    time_t clock = static_cast<time_t>(seconds);
    struct tm local {};
    if (!localtime_r(&clock, &local)) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d",
                  static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string formatDateTimeWithOffset(int64_t seconds) {
    if (seconds == 0) return "";
    time_t clock = static_cast<time_t>(seconds);
    struct tm local {};
    if (!localtime_r(&clock, &local)) return "";
    long offset = local.tm_gmtoff / 60;  // minutes; no zone in use today has seconds in its offset
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d%c%02ld:%02ld",
                  static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60, offset % 60);
    return text;
}

void appendQuoted(std::string* out, const std::string& text) {
    out->push_back('"');
    for (char c : text) {
        if (c == '"') out->push_back('"');
        out->push_back(c);
    }
    out->push_back('"');
}

void appendQuoted(std::string* out, const char* text) {
    appendQuoted(out, std::string(text ? text : ""));
}

// The pattern comes from the configuration on purpose: a file receiver's
// name is the operator's strftime pattern, so it cannot be a literal here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string expandTimePattern(const char* pattern, int64_t when, size_t capacity) {
    time_t clock = static_cast<time_t>(when);
    struct tm local {};
    std::string out(capacity, '\0');
    if (!pattern || capacity == 0 || !localtime_r(&clock, &local)) return "";
    size_t length = std::strftime(&out[0], capacity, pattern, &local);
    out.resize(length);
    return out;
}
#pragma GCC diagnostic pop

int64_t parseDateTime(const char* text) {
    if (!text || std::strlen(text) < 19) return 0;
    if (text[4] != '-' || text[7] != '-' || (text[10] != ' ' && text[10] != 'T') || text[13] != ':' ||
        text[16] != ':')
        return 0;
    // Only the 19 characters of the form count: digits right behind the
    // seconds ("09:26:5312") must not run on into the seconds field.
    char stamp[20];
    copyText(stamp, text);
    int year = parseInt(stamp), month = parseInt(stamp + 5), day = parseInt(stamp + 8);
    int hour = parseInt(stamp + 11), minute = parseInt(stamp + 14), second = parseInt(stamp + 17);

    auto fill = [&](struct tm& tmv) {
        tmv.tm_year = year - 1900;
        tmv.tm_mon = month - 1;
        tmv.tm_mday = day;
        tmv.tm_hour = hour;
        tmv.tm_min = minute;
        tmv.tm_sec = second;
    };
    // mktime must be told whether daylight saving applies, and that depends on
    // the date itself: a first pass finds out, the second converts with it.
    // A fixed guess would put every time in summer an hour off.
    struct tm tmv {};
    fill(tmv);
    tmv.tm_isdst = 0;
    std::mktime(&tmv);
    int isdst = tmv.tm_isdst;
    struct tm second_pass {};
    fill(second_pass);
    second_pass.tm_isdst = isdst;
    return static_cast<int64_t>(std::mktime(&second_pass));
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The offset behind the seconds in minutes east of UTC; false when there is
// none in the form "+hh:mm", "-hh:mm" or "Z", followed by nothing.
bool offsetMinutes(const char* suffix, long* minutes) {
    if (suffix[0] == 'Z' && suffix[1] == 0) {
        *minutes = 0;
        return true;
    }
    if ((suffix[0] != '+' && suffix[0] != '-') || !isDigit(suffix[1]) || !isDigit(suffix[2]) ||
        suffix[3] != ':' || !isDigit(suffix[4]) || !isDigit(suffix[5]) || suffix[6] != 0)
        return false;
    long hours = (suffix[1] - '0') * 10 + (suffix[2] - '0');
    long mins = (suffix[4] - '0') * 10 + (suffix[5] - '0');
    if (hours > 23 || mins > 59) return false;
    *minutes = (suffix[0] == '-' ? -1 : 1) * (hours * 60 + mins);
    return true;
}

}  // namespace

int64_t parseDateTimeWithOffset(const char* text) {
    int64_t local = parseDateTime(text);
    long offset = 0;
    if (local == 0 || !offsetMinutes(text + 19, &offset)) return local;
    char stamp[20];
    copyText(stamp, text);
    struct tm utc {};
    utc.tm_year = parseInt(stamp) - 1900;
    utc.tm_mon = parseInt(stamp + 5) - 1;
    utc.tm_mday = parseInt(stamp + 8);
    utc.tm_hour = parseInt(stamp + 11);
    utc.tm_min = parseInt(stamp + 14);
    utc.tm_sec = parseInt(stamp + 17);
    time_t seconds = timegm(&utc);
    if (seconds == static_cast<time_t>(-1)) return 0;
    return static_cast<int64_t>(seconds) - offset * 60;
}

void copyText(std::string& dst, size_t capacity, const char* src) {
    dst.assign(src ? src : "");
    if (capacity != std::string::npos && dst.size() >= capacity) dst.resize(capacity > 0 ? capacity - 1 : 0);
}

void copyText(char* dst, size_t capacity, const char* src) {
    if (!dst || capacity == 0) return;
    size_t n = 0;
    if (src) {
        while (n + 1 < capacity && src[n]) {
            dst[n] = src[n];
            ++n;
        }
    }
    dst[n] = 0;
}

bool equalsIgnoreCase(const char* a, const char* b) {
    if (!a) a = "";
    if (!b) b = "";
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
        if (x == 0) return true;
    }
}

int parseInt(const char* text) {
    if (!text) return 0;
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int64_t parseDuration(const char* text, int64_t most) {
    if (!text || !isDigit(*text)) return -1;
    int64_t seconds = 0;
    const char* p = text;
    for (; isDigit(*p); ++p) {
        seconds = seconds * 10 + (*p - '0');
        if (seconds > most) return -1;
    }
    int64_t unit = 1;
    switch (*p) {
        case 's':
        case 'S':
            ++p;
            break;
        case 'm':
        case 'M':
            unit = 60, ++p;
            break;
        case 'h':
        case 'H':
            unit = 3600, ++p;
            break;
        default:
            break;
    }
    if (*p) return -1;
    return seconds > most / unit ? -1 : seconds * unit;
}

bool hasDecimalComma(const char* text) {
    for (const char* p = text ? std::strchr(text, ',') : nullptr; p; p = std::strchr(p + 1, ','))
        if (p > text && isDigit(p[-1]) && isDigit(p[1])) return true;
    return false;
}
