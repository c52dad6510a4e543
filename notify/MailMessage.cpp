// Composition of one notification mail (see MailMessage.h).
#include "notify/MailMessage.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>

#include "base/Encoding.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "base/ValueText.h"

namespace {

// RFC 5322 allows 998 octets per line; 78 is the recommended length.
constexpr size_t kMaxLine = 998;
constexpr size_t kFoldAt = 78;
// Octets of UTF-8 text per encoded word: 39 octets give 52 Base64
// characters, with "=?UTF-8?B?" and "?=" 64, within the 75 of RFC 2047, and
// the first line with "Subject: " stays within 76.
constexpr size_t kEncodedChunk = 39;
// Quoted-printable lines are at most 76 characters (RFC 2045).
constexpr size_t kQpLine = 76;

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool isPlainAscii(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x7f || (c < 0x20 && c != '\t')) return false;
    // "=?" would be read as the start of an encoded word by a mail client.
    return text.find("=?") == std::string::npos;
}

// Encoded words of at most kEncodedChunk octets each, never splitting a UTF-8
// character (RFC 2047 requires each word to stand on its own), separated by
// folding white space, which a decoder drops between encoded words.
std::string encodedWords(const std::string& value) {
    std::string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    size_t at = 0;
    while (at < value.size()) {
        size_t end = at + kEncodedChunk < value.size() ? at + kEncodedChunk : value.size();
        if (end < value.size()) {
            // Step back over continuation octets to the start of a character;
            // invalid text without a start octet in reach is cut anywhere.
            size_t cut = end;
            while (cut > at && (bytes[cut] & 0xC0) == 0x80) --cut;
            if (cut > at) end = cut;
        }
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?";
        out += base64Encode(bytes + at, end - at);
        out += "?=";
        at = end;
    }
    return out;
}

// Folds a plain ASCII value before blanks so that lines stay near 78
// characters; an empty result means it cannot be kept within 998.
std::string foldedHeader(const std::string& name, const std::string& value) {
    std::string out = name;
    size_t lineStart = 0;
    bool lineHasText = true;  // the header name
    size_t at = 0;
    while (at < value.size()) {
        // A piece is a run of blanks followed by a run of other characters.
        size_t end = at;
        while (end < value.size() && (value[end] == ' ' || value[end] == '\t')) ++end;
        bool startsWithBlank = end > at;
        while (end < value.size() && value[end] != ' ' && value[end] != '\t') ++end;
        size_t pieceLength = end - at;
        // Folding inserts CRLF before a blank, so unfolding restores the value.
        // A line of blanks alone is not allowed, hence lineHasText.
        if (startsWithBlank && lineHasText && out.size() - lineStart + pieceLength > kFoldAt) {
            out += "\r\n";
            lineStart = out.size();
            lineHasText = false;
        }
        out.append(value, at, pieceLength);
        for (size_t i = at; i < end; ++i)
            if (value[i] != ' ' && value[i] != '\t') lineHasText = true;
        if (out.size() - lineStart > kMaxLine) return std::string();
        at = end;
    }
    return out;
}

void appendLine(std::string& out, const std::string& line) {
    out += line;
    out += "\r\n";
}

std::string quotedPrintable(const std::string& body) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    size_t lineLength = 0;
    auto put = [&](const char* piece, size_t length) {
        // Soft line break ("=" at the end) before the limit of 76.
        if (lineLength + length > kQpLine - 1) {
            out += "=\r\n";
            lineLength = 0;
        }
        out.append(piece, length);
        lineLength += length;
    };
    for (size_t i = 0; i < body.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(body[i]);
        if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
            out += "\r\n";  // hard line break
            lineLength = 0;
            ++i;
            continue;
        }
        bool atLineEnd = i + 1 >= body.size() || body[i + 1] == '\r';
        bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !atLineEnd);
        // A dot at the start of a line is encoded too, so no relay can
        // mistake it for the end of the data.
        if (c == '.' && lineLength == 0) literal = false;
        if (literal) {
            char one = static_cast<char>(c);
            put(&one, 1);
        } else {
            char escaped[3] = {'=', hex[c >> 4], hex[c & 15]};
            put(escaped, 3);
        }
    }
    return out;
}

// Keeps header values on one line: a line break inside a configured text or
// a notification must not start a header of its own.
std::string oneLine(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

}  // namespace

bool formatMailDate(char* out, size_t capacity, const struct tm& local, long utcOffsetSeconds) {
    if (!out || capacity == 0) return false;
    out[0] = 0;
    int year = local.tm_year + 1900;
    if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11 || year < 1900 ||
        year > 9999 || utcOffsetSeconds <= -86400 || utcOffsetSeconds >= 86400)
        return false;
    long offsetMinutes = (utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds) / 60;
    int written =
        std::snprintf(out, capacity, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday],
                      local.tm_mday, kMonths[local.tm_mon], year, local.tm_hour, local.tm_min, local.tm_sec,
                      utcOffsetSeconds < 0 ? '-' : '+', offsetMinutes / 60, offsetMinutes % 60);
    if (written < 0 || static_cast<size_t>(written) >= capacity) {
        out[0] = 0;
        return false;
    }
    return true;
}

std::string subjectHeader(const std::string& rawValue) {
    std::string value = oneLine(rawValue.c_str());
    if (isPlainAscii(value)) {
        std::string folded = foldedHeader("Subject: ", value);
        if (!folded.empty()) return folded;
    }
    return "Subject: " + encodedWords(value);
}

std::string bodyForTransfer(const std::string& body, bool* quotedPrintableUsed) {
    // Every CR, LF or CRLF of the text is one line break; SMTP knows only CRLF.
    std::string crlf;
    crlf.reserve(body.size() + body.size() / 16 + 2);
    size_t lineLength = 0, longest = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
            crlf += "\r\n";
            lineLength = 0;
            continue;
        }
        crlf += c;
        if (++lineLength > longest) longest = lineLength;
    }
    if (crlf.size() < 2 || crlf.compare(crlf.size() - 2, 2, "\r\n") != 0) crlf += "\r\n";
    bool qp = longest > kMaxLine;
    if (quotedPrintableUsed) *quotedPrintableUsed = qp;
    return qp ? quotedPrintable(crlf) : crlf;
}

std::string makeMessageId(const char* from, int64_t when) {
    // The domain is what follows the last "@", up to a closing ">" or a
    // blank; only characters that may stand in a domain or address literal.
    std::string domain;
    const char* at = from ? std::strrchr(from, '@') : nullptr;
    if (at) {
        for (const char* p = at + 1; *p && *p != '>' && *p != ' ' && *p != '\t'; ++p) {
            char c = *p;
            bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '[' || c == ']' || c == ':';
            if (!allowed) {
                domain.clear();
                break;
            }
            domain += c;
        }
    }
    if (domain.empty() || domain.size() > 200) domain = "localhost";

    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    char left[96];
    std::snprintf(left, sizeof left, "%lld.%ld.%u.%08x", static_cast<long long>(when),
                  static_cast<long>(getpid()), counter.fetch_add(1) + 1, seed);
    return std::string("<") + left + "@" + domain + ">";
}

std::string composeMail(const MailContent& content) {
    std::string out;
    char date[64] = "";
    time_t moment = static_cast<time_t>(content.when);
    struct tm local {};
    if (localtime_r(&moment, &local)) formatMailDate(date, sizeof date, local, local.tm_gmtoff);
    // A retried mail still names the moment its notice was decided, so a
    // repeat does not read as a new event; a clear or reminder names its
    // episode's raise on a line of its own.
    int64_t fired = content.fired > 0 ? content.fired : content.when;
    int64_t decided = content.decided > 0 ? content.decided : fired;
    std::string stamp = formatDateTime(decided);
    if (stamp.empty()) stamp = "--";
    std::string raised = decided != fired ? formatDateTime(fired) : "";

    std::string subject = std::string(content.sourceName ? content.sourceName : "") + ": ";
    // "plantA: cleared: Tank level back to normal", so a mail client can sort by it.
    if (content.state) subject += std::string(content.state) + ": ";
    subject += content.text ? content.text : "";
    std::string value = formatValue(content.value, content.decimals);

    std::string body;
    body += "M: ";
    body += content.text ? content.text : "";
    body += "\nT: ";
    body += stamp;
    if (!raised.empty()) body += "\nR: " + raised;
    body += "\nS: ";
    body += content.sourceName ? content.sourceName : "";
    body += "\nA: ";
    body += content.address ? content.address : "";
    if (content.tag && *content.tag) {
        body += "\nN: ";
        body += content.tag;
    }
    body += "\nV: ";
    body += value;
    body += "\n\nsent by Zentok, ";
    body += kMakerAddress;
    body += "\n";
    bool qp = false;
    std::string transferBody = bodyForTransfer(body, &qp);

    appendLine(out, "From: " + oneLine(content.from));
    appendLine(out, "To: " + oneLine(content.to));
    // A message without a valid Date is better left to the server to date.
    if (date[0]) appendLine(out, std::string("Date: ") + date);
    appendLine(out, subjectHeader(subject));
    appendLine(out, "Message-ID: " + oneLine(content.messageId));
    appendLine(out, "MIME-Version: 1.0");
    appendLine(out, "Content-Type: text/plain; charset=UTF-8");
    appendLine(out, qp ? "Content-Transfer-Encoding: quoted-printable" : "Content-Transfer-Encoding: 8bit");
    out += "\r\n";
    out += transferBody;
    return out;
}
