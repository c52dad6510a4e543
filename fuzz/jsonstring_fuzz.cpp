// Fuzzes the JSON string escaper of the webhook channel with arbitrary bytes.
// The output must be one JSON string (RFC 8259) in well-formed UTF-8 that
// decodes to the input with its ill-formed parts replaced by U+FFFD, and
// exactly to the input when that was well-formed already. The checks here
// decode by code point, independently of the escaper's own table.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "notify/JsonText.h"
#include "notify/Utf8Text.h"

namespace {

// True when `text` is well-formed UTF-8: every sequence the shortest for its
// code point, no surrogates, nothing above U+10FFFF.
bool wellFormed(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[at]);
        size_t length = lead < 0x80         ? 1
                        : (lead >> 5) == 6  ? 2
                        : (lead >> 4) == 14 ? 3
                        : (lead >> 3) == 30 ? 4
                                            : 0;
        if (length == 0 || at + length > text.size()) return false;
        uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t i = 1; i < length; ++i) {
            unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80) return false;
            point = point << 6 | (next & 0x3F);
        }
        static const uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kShortest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        at += length;
    }
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes one JSON string that fills `json` whole; aborts on anything a
// strict parser would refuse. The escaper writes \u only below U+0020.
std::string decodeJsonString(const std::string& json) {
    if (json.size() < 2 || json.front() != '"' || json.back() != '"') std::abort();
    std::string out;
    for (size_t at = 1; at + 1 < json.size(); ++at) {
        unsigned char c = static_cast<unsigned char>(json[at]);
        if (c == '"' || c < 0x20) std::abort();
        if (c != '\\') {
            out += static_cast<char>(c);
            continue;
        }
        if (++at + 1 >= json.size()) std::abort();
        switch (json[at]) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                if (at + 5 >= json.size()) std::abort();
                int point = 0;
                for (int i = 1; i <= 4; ++i) {
                    int digit = hexDigit(json[at + i]);
                    if (digit < 0) std::abort();
                    point = point * 16 + digit;
                }
                if (point >= 0x20) std::abort();
                out += static_cast<char>(point);
                at += 4;
                break;
            }
            default:
                std::abort();
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string json;
    appendJsonString(&json, input.data(), input.size());
    if (!wellFormed(json)) std::abort();
    if (json.size() > 2 + 6 * size) std::abort();

    std::string decoded = decodeJsonString(json);
    std::string valid = validUtf8(input.data(), input.size());
    if (decoded != valid || !wellFormed(valid)) std::abort();
    if (wellFormed(input) != (valid == input)) std::abort();
    if (validUtf8(valid.data(), valid.size()) != valid) std::abort();
    return 0;
}
