// Base64, hexadecimal and percent encoding.
#include "base/Encoding.h"

namespace {

const char* const kBase64Chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Position of a character in the alphabet, -1 outside it ("=" included).
int base64Index(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string base64Encode(const uint8_t* data, size_t length) {
    std::string ret;
    if (data == nullptr) return ret;
    ret.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t group = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        ret += kBase64Chars[(group >> 18) & 63];
        ret += kBase64Chars[(group >> 12) & 63];
        ret += kBase64Chars[(group >> 6) & 63];
        ret += kBase64Chars[group & 63];
    }
    size_t rest = length - i;
    if (rest > 0) {
        // RFC 4648 (4): the missing bytes count as zero bits, and "=" keeps
        // the text a whole number of 4-character groups.
        uint32_t group = uint32_t(data[i]) << 16;
        if (rest == 2) group |= uint32_t(data[i + 1]) << 8;
        ret += kBase64Chars[(group >> 18) & 63];
        ret += kBase64Chars[(group >> 12) & 63];
        ret += rest == 2 ? kBase64Chars[(group >> 6) & 63] : '=';
        ret += '=';
    }
    return ret;
}

std::string base64Decode(const std::string& text) {
    std::string ret;
    uint32_t group = 0;
    int count = 0;
    for (unsigned char c : text) {
        int index = base64Index(c);
        if (index < 0) break;
        group = (group << 6) | static_cast<uint32_t>(index);
        if (++count == 4) {
            ret += static_cast<char>((group >> 16) & 255);
            ret += static_cast<char>((group >> 8) & 255);
            ret += static_cast<char>(group & 255);
            group = 0;
            count = 0;
        }
    }
    if (count > 1) {
        group <<= 6 * (4 - count);
        ret += static_cast<char>((group >> 16) & 255);
        if (count == 3) ret += static_cast<char>((group >> 8) & 255);
    }
    return ret;
}

std::string charToHex(unsigned char byte) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string hex(2, '0');
    hex[0] = kHex[byte >> 4];
    hex[1] = kHex[byte & 15];
    return hex;
}

std::string urlEncode(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (isUnreserved(c)) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += charToHex(c);
        }
    }
    return escaped;
}
