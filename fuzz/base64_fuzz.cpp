// Fuzzes the Base64 decoder with its stop rules, and checks both codecs
// against each other and the URL encoder's alphabet.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::string decoded = base64Decode(text);
    if (decoded.size() > size / 4 * 3 + 2) std::abort();
    // Decoding what was decoded and encoded again gives the same bytes.
    std::string encoded = base64Encode(reinterpret_cast<const uint8_t*>(decoded.data()), decoded.size());
    if (encoded.size() != (decoded.size() + 2) / 3 * 4) std::abort();
    if (base64Decode(encoded) != decoded) std::abort();

    // Encoding the raw bytes round-trips too.
    if (base64Decode(base64Encode(data, size)) != text) std::abort();

    std::string escaped = urlEncode(text);
    for (unsigned char c : escaped) {
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '%';
        if (!allowed) std::abort();
    }
    return 0;
}
