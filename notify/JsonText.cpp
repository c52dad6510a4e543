// The JSON string escaper. Control characters with a short form (RFC 8259,
// section 7) use it; the others become \u00XX.
#include "notify/JsonText.h"

#include <cstring>

#include "notify/Utf8Text.h"

namespace {

void appendEscapedControl(std::string* out, unsigned char byte) {
    switch (byte) {
        case '\b':
            out->append("\\b");
            return;
        case '\f':
            out->append("\\f");
            return;
        case '\n':
            out->append("\\n");
            return;
        case '\r':
            out->append("\\r");
            return;
        case '\t':
            out->append("\\t");
            return;
        default:
            break;
    }
    static const char kHex[] = "0123456789abcdef";
    out->append("\\u00");
    out->push_back(kHex[byte >> 4]);
    out->push_back(kHex[byte & 0x0F]);
}

}  // namespace

void appendJsonString(std::string* out, const char* text, size_t length) {
    out->push_back('"');
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t at = 0;
    while (at < length) {
        unsigned char byte = bytes[at];
        if (byte == '"' || byte == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(byte));
            ++at;
        } else if (byte < 0x20) {
            appendEscapedControl(out, byte);
            ++at;
        } else {
            size_t skip = 1;
            size_t sequence = utf8SequenceLength(bytes + at, length - at, &skip);
            if (sequence > 0) {
                out->append(text + at, sequence);
                at += sequence;
            } else {
                out->append(kReplacementCharacter);
                at += skip;
            }
        }
    }
    out->push_back('"');
}

void appendJsonString(std::string* out, const char* text) {
    appendJsonString(out, text ? text : "", text ? std::strlen(text) : 0);
}
