// UTF-8 well-formedness after RFC 3629, table 3-7 of the Unicode standard.
#include "notify/Utf8Text.h"

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

size_t utf8SequenceLength(const unsigned char* text, size_t left, size_t* skip) {
    *skip = 1;
    if (left == 0) return 0;
    unsigned char lead = text[0];
    if (lead < 0x80) return 1;

    // The sequence length and the range of the second byte, which is where
    // overlong forms, surrogates and code points above U+10FFFF show.
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;  // a continuation byte alone, C0, C1 or F5 to FF
    }

    size_t fitted = 1;
    if (fitted < left && text[1] >= low && text[1] <= high) {
        ++fitted;
        while (fitted < length && fitted < left && isContinuation(text[fitted])) ++fitted;
    }
    if (fitted == length) return length;
    *skip = fitted;
    return 0;
}

std::string validUtf8(const char* text, size_t length) {
    std::string out;
    out.reserve(length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t at = 0;
    while (at < length) {
        size_t skip = 1;
        size_t sequence = utf8SequenceLength(bytes + at, length - at, &skip);
        if (sequence > 0) {
            out.append(text + at, sequence);
            at += sequence;
        } else {
            out.append(kReplacementCharacter);
            at += skip;
        }
    }
    return out;
}
