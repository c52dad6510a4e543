// SMS texts: the GSM 7-bit test, the cut to whole parts, UCS-2 both ways,
// and the strict reader of a received spool file.
#include "notify/SmsText.h"

#include <cstdint>
#include <vector>

#include "notify/Utf8Text.h"

namespace {

constexpr int kGsmSingle = 160;
constexpr int kGsmPart = 153;  // 7 septets go to the concatenation header
constexpr int kUcs2Single = 70;
constexpr int kUcs2Part = 67;

// The code points of UTF-8 text that validUtf8 has made valid.
std::vector<uint32_t> codePoints(const std::string& text) {
    std::vector<uint32_t> points;
    for (size_t at = 0; at < text.size();) {
        auto byte = static_cast<unsigned char>(text[at]);
        int extra = byte < 0x80 ? 0 : byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
        uint32_t point = extra == 0 ? byte : byte & (0x3F >> extra);
        for (int i = 1; i <= extra && at + i < text.size(); ++i)
            point = (point << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
        points.push_back(point);
        at += extra + 1;
    }
    return points;
}

// Septets a character takes in the GSM default alphabet and its extension
// table, for the characters ISO-8859-15 also holds (smstools' default input);
// 0 for one it lacks.
int gsmSeptets(uint32_t c) {
    if (c == '\n' || c == '\r') return 1;
    if (c == '^' || c == '{' || c == '}' || c == '\\' || c == '[' || c == '~' || c == ']' || c == '|' ||
        c == 0x20AC)
        return 2;
    if (c >= 0x20 && c <= 0x7E) return c == '`' ? 0 : 1;
    static const uint32_t kLatin[] = {0xA3, 0xA5, 0xE8, 0xE9, 0xF9, 0xEC, 0xF2, 0xC7, 0xD8, 0xF8,
                                      0xC5, 0xE5, 0xC6, 0xE6, 0xDF, 0xC9, 0xA1, 0xC4, 0xD6, 0xD1,
                                      0xDC, 0xA7, 0xBF, 0xE4, 0xF6, 0xF1, 0xFC, 0xE0};
    for (uint32_t latin : kLatin)
        if (c == latin) return 1;
    return 0;
}

void appendLatin(std::string* out, uint32_t c) {
    out->push_back(c == 0x20AC ? static_cast<char>(0xA4)
                               : static_cast<char>(c));  // the euro sign's ISO-8859-15 byte
}

void appendUcs2(std::string* out, uint32_t c) {
    if (c > 0xFFFF) c = '?';  // beyond the basic plane UCS-2 has no character
    out->push_back(static_cast<char>(c >> 8));
    out->push_back(static_cast<char>(c & 0xFF));
}

std::string appendUtf8(std::string out, uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return out;
}

bool isBlankLine(const std::string& line) {
    return line.empty() || line == "\r";
}

std::string headerValue(const std::string& line, size_t nameLength) {
    std::string value = line.substr(nameLength);
    value.erase(0, value.find_first_not_of(' '));
    if (!value.empty() && value.back() == '\r') value.pop_back();
    return value;
}

bool startsWithName(const std::string& line, const char* name) {
    size_t length = std::char_traits<char>::length(name);
    if (line.size() < length) return false;
    for (size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    return true;
}

}  // namespace

SmsText fitSms(const std::string& utf8) {
    std::vector<uint32_t> points = codePoints(validUtf8(utf8.data(), utf8.size()));
    SmsText text;
    int septets = 0;
    for (uint32_t c : points) {
        int cost = gsmSeptets(c);
        if (cost == 0) text.ucs2 = true;
        septets += cost;
    }
    int units = text.ucs2 ? static_cast<int>(points.size()) : septets;
    int single = text.ucs2 ? kUcs2Single : kGsmSingle;
    int part = text.ucs2 ? kUcs2Part : kGsmPart;
    int room = units <= single ? single : part * kMaxSmsParts;
    bool cut = units > room;
    if (cut) room -= 3;  // "..."
    int used = 0;
    for (uint32_t c : points) {
        int cost = text.ucs2 ? 1 : gsmSeptets(c);
        if (used + cost > room) break;
        used += cost;
        ++text.characters;
        if (text.ucs2)
            appendUcs2(&text.body, c);
        else
            appendLatin(&text.body, c);
    }
    if (cut) {
        for (int i = 0; i < 3; ++i) text.ucs2 ? appendUcs2(&text.body, '.') : appendLatin(&text.body, '.');
        used += 3;
        text.characters += 3;
    }
    text.parts = used <= single ? 1 : (used + part - 1) / part;
    return text;
}

std::string smsSpoolFile(const std::string& number, const SmsText& text) {
    std::string file = "To: " + number + "\n";
    if (text.ucs2) file += "Alphabet: UCS2\n";
    return file + "\n" + text.body;
}

bool isPhoneNumber(const std::string& text) {
    size_t digits = !text.empty() && text[0] == '+' ? 1 : 0;
    if (text.size() < digits + 3 || text.size() > 20) return false;
    return text.find_first_not_of("0123456789", digits) == std::string::npos;
}

bool readIncomingSms(const std::string& file, IncomingSms* sms, std::string* why) {
    if (file.size() > kMaxIncomingSmsBytes) return (*why = "larger than a received message", false);
    size_t blank = std::string::npos;
    std::string from;
    bool ucs2 = false;
    size_t at = 0;
    while (at < file.size()) {
        size_t end = file.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = file.substr(at, end - at);
        at = end + 1;
        if (isBlankLine(line)) {
            blank = at;
            break;
        }
        for (char c : line)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\r' && c != '\t') || c == 0x7F)
                return (*why = "binary bytes in its headers", false);
        if (startsWithName(line, "from:")) {
            if (!from.empty()) return (*why = "two senders", false);
            from = headerValue(line, 5);
            if (!isPhoneNumber(from)) return (*why = "a sender that is no phone number", false);
        } else if (startsWithName(line, "alphabet:")) {
            std::string alphabet = headerValue(line, 9);
            ucs2 = alphabet == "UCS2" || alphabet == "UCS" || alphabet == "Unicode";
        }
    }
    if (blank == std::string::npos) return (*why = "no blank line after its headers", false);
    if (from.empty()) return (*why = "no sender", false);
    std::string body = file.substr(blank);
    std::string text;
    if (ucs2) {
        if (body.size() % 2 != 0) return (*why = "a UCS-2 text of an odd length", false);
        for (size_t i = 0; i + 1 < body.size(); i += 2)
            text = appendUtf8(std::move(text), (static_cast<unsigned char>(body[i]) << 8) |
                                                   static_cast<unsigned char>(body[i + 1]));
    } else {
        for (char c : body)
            text = appendUtf8(std::move(text), static_cast<unsigned char>(c));  // ISO-8859-1/15
    }
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    sms->from = from[0] == '+' ? from.substr(1) : from;
    sms->text = validUtf8(text.data(), std::min<size_t>(text.size(), 640));
    return true;
}
