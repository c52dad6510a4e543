// Base64 (RFC 4648) and percent encoding (RFC 3986) for the OAuth signer and
// the request bodies of the Twitter client. Texts are handled as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Standard alphabet with "=" padding.
std::string base64Encode(const uint8_t* data, size_t length);
// Decodes up to the end of the text, the first "=" or the first character
// outside the alphabet, whichever comes first. A last group of n < 4
// characters gives n - 1 bytes.
std::string base64Decode(const std::string& text);

// Keeps the RFC 3986 unreserved characters (A-Z a-z 0-9 - . _ ~) and writes
// every other byte as "%" and two upper-case hexadecimal digits.
std::string urlEncode(const std::string& text);
// The two upper-case hexadecimal digits of a byte.
std::string charToHex(unsigned char byte);
