// Short messages in smstools' spool files: an alarm's text fitted to SMS,
// and the reader of a message the modem received. A spool file is a few
// header lines ("To: NUMBER", "From: NUMBER", "Alphabet: UCS2"), a blank
// line and the text; smstools converts and splits it for the modem.
#pragma once

#include <cstddef>
#include <string>

// Text that fits the GSM 7-bit default alphabet (3GPP TS 23.038) goes as
// ISO-8859-15, smstools' default, which it maps to GSM: 160 characters in one
// part, 153 in each of a concatenated message. Anything else goes as UCS-2
// (big-endian, "Alphabet: UCS2"): 70 in one part, 67 in each of several.
// A text is cut to kMaxSmsParts parts, its end marked with "...".
constexpr int kMaxSmsParts = 3;

struct SmsText {
    bool ucs2 = false;
    std::string body;  // the bytes behind the blank line
    int characters = 0;
    int parts = 1;
};

SmsText fitSms(const std::string& utf8);

// A spool file's whole text for `number`.
std::string smsSpoolFile(const std::string& number, const SmsText& text);

// A phone number as spools write it: digits, a leading "+" allowed, 3 to 20 characters.
bool isPhoneNumber(const std::string& text);

// A message the modem received, as far as an acknowledgement needs it.
struct IncomingSms {
    std::string from;  // the sender's number, "+" stripped
    std::string text;  // UTF-8, one line, bounded
};

// A received file is at most this large; smstools writes far less.
constexpr size_t kMaxIncomingSmsBytes = 4096;

// Reads a received file: headers up to the blank line, "From:" once with a
// phone number, "Alphabet:" telling a UCS-2 body; other headers passed over.
// False, with the reason, for a file that is not such a message (binary
// bytes, no or two senders, no blank line).
bool readIncomingSms(const std::string& file, IncomingSms* sms, std::string* why);
