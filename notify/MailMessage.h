// Composition of one notification mail in Internet message format (RFC 5322,
// MIME): header lines, English date with zone, encoded subject and the body,
// every line ended with CRLF as SMTP carries it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// What one notification mail says.
struct MailContent {
    const char* from = "";        // sender address, also the Message-ID domain
    const char* to = "";          // recipient address
    const char* sourceName = "";  // name of the node's source
    const char* address = "";     // the node's address
    const char* tag = "";         // the node's tag; empty: the body has no N: line
    const char* text = "";        // the notification text
    double value = 0.0;           // the node's value
    bool decimals = false;        // the node keeps the decimals of its value
    int64_t when = 0;             // moment of sending, the Date header
    int64_t fired = 0;            // when the episode's alarm fired; 0: `when` stands in
    int64_t decided = 0;          // when this notice's state changed, the T: line; 0: `fired` stands in
    const char* messageId = "";   // "<...>", see makeMessageId
    const char* state = nullptr;  // the alarm's state for the subject; null for nodes without an alarm line
};

// "Sun, 06 Dec 2026 13:16:40 +0100" from a local broken-down time and its
// offset east of UTC in seconds; day and month names are English whatever the
// locale. False (and an empty text) when the time is out of range.
bool formatMailDate(char* out, size_t capacity, const struct tm& local, long utcOffsetSeconds);

// The Subject header line without its line end: "Subject: " and the value,
// folded at blanks when long, or as RFC 2047 encoded words when the value is
// not plain printable ASCII or cannot be folded into lines of 998 octets.
// Line breaks inside the value become blanks.
std::string subjectHeader(const std::string& value);

// Body in the transfer form: every line break becomes CRLF, and the text ends
// with one. When a line is longer than SMTP allows (998 octets), the whole
// body is quoted-printable encoded instead and `quotedPrintable` is set.
std::string bodyForTransfer(const std::string& body, bool* quotedPrintable);

// "<time.pid.counter.random@domain>", the domain taken from the sender
// address ("localhost" when it has none that can be used).
std::string makeMessageId(const char* from, int64_t when);

// The whole message, headers and body, ready for transfer.
std::string composeMail(const MailContent& content);
