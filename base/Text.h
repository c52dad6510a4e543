// Text helpers shared by every parser of the program: the field tokenizer,
// the states-file date parser and bounded copies into fixed text fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Cuts the next field out of the text at *cursor, in place. Honours double
// quotes (a doubled quote inside a quoted field stands for one quote), drops
// trailing control characters of the remaining text, never trims blanks.
// Returns the field, or nullptr when there is none; *cursor becomes nullptr
// when no further field follows.
char* nextToken(char** cursor, const char* separators);

// Writes `seconds` as "YYYY-MM-DD hh:mm:ss" in local time, the form
// parseDateTime reads; an empty text for 0 (no time).
std::string formatDateTime(int64_t seconds);

// As formatDateTime, followed by the local time's offset from UTC
// ("2026-10-25 02:30:00+02:00"), so the time reads back as the same moment
// also in the hour a daylight-saving change repeats.
std::string formatDateTimeWithOffset(int64_t seconds);

// Appends `text` between double quotes with each quote in it doubled, as the
// states, outbox and notification files write their text fields; the field
// tokenizer reads it back as it was. A null text is an empty field.
void appendQuoted(std::string* out, const std::string& text);
void appendQuoted(std::string* out, const char* text);

// "YYYY-MM-DD hh:mm:ss" (or with "T" for the blank) in local time, as the
// states file writes it. A text not in that form gives 0, the "no time"
// value, so a damaged field reads as "never" rather than as a wrong moment.
int64_t parseDateTime(const char* text);

// parseDateTime that honours an offset from UTC right behind the seconds
// ("+02:00", "-05:30" or "Z"); without one the time is local, as
// parseDateTime reads it.
int64_t parseDateTimeWithOffset(const char* text);

// Expands an operator's strftime pattern (a file receiver's name) at `when`
// in local time; empty when the time has no local form or the pattern
// expands to nothing or more than `capacity`-1 bytes.
std::string expandTimePattern(const char* pattern, int64_t when, size_t capacity);

// Copies at most capacity-1 bytes of src into dst and always terminates it.
// A null src gives an empty text.
void copyText(char* dst, size_t capacity, const char* src);

template <size_t N>
inline void copyText(char (&dst)[N], const char* src) {
    copyText(dst, N, src);
}

// A text held as a string (a node's message) takes at most `capacity`-1
// bytes, as a field of that size would; without a capacity, all of src.
void copyText(std::string& dst, size_t capacity, const char* src);
inline void copyText(std::string& dst, const char* src) {
    copyText(dst, std::string::npos, src);
}

// ASCII case-insensitive comparison of two whole texts; null equals only null or "".
bool equalsIgnoreCase(const char* a, const char* b);

// atoi semantics without undefined behaviour on overflow: leading blanks, an
// optional sign, decimal digits; 0 without digits; saturates at the int range.
int parseInt(const char* text);

// Seconds from a duration as every setting of the configuration writes it:
// plain seconds ("90") or a number with one unit letter ("10s", "30m", "2h",
// in either case). -1 for any text it cannot read whole ("", "1x", "8 h",
// "-5") and for more than `most` seconds.
int64_t parseDuration(const char* text, int64_t most);

// True when the text holds a decimal comma ("3,5"): a digit, a comma, a
// digit. Where a decimal number is expected it is a typing mistake to name,
// since the number would otherwise end at the comma.
bool hasDecimalComma(const char* text);
