// Base64 (RFC 4648), hexadecimal and percent encoding (RFC 3986), shared by
// the mail message and the Twitter client; they sit in core so that neither
// channel has to include the other. Texts are handled as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Standard alphabet with "=" padding.
std::string base64Encode(const uint8_t* data, size_t length);
// Stops quietly at the first character outside the alphabet ("=" included),
// so padding and a trailing line end need no stripping first; a last group
// too short to make a whole byte adds nothing.
std::string base64Decode(const std::string& text);

// Keeps the RFC 3986 unreserved characters (A-Z a-z 0-9 - . _ ~) and writes
// every other byte as "%" and two upper-case hexadecimal digits.
std::string urlEncode(const std::string& text);
// Upper case, which RFC 3986 (2.1) asks of every producer of percent escapes.
std::string charToHex(unsigned char byte);
