// UTF-8 checking for texts that leave the program in a format that must be
// valid UTF-8 (JSON bodies, push messages, header values). Texts come from
// the configuration and the device and may hold any byte.
#pragma once

#include <cstddef>
#include <string>

// The length of the well-formed UTF-8 sequence at `text` (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF), 1 to 4. When the
// bytes there are not well-formed, 0, and `*skip` is the length of the
// ill-formed part to replace by one U+FFFD: the lead byte and the
// continuation bytes that still fitted it, at least 1.
size_t utf8SequenceLength(const unsigned char* text, size_t left, size_t* skip);

// The replacement character U+FFFD in UTF-8.
constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";

// `length` bytes of `text` with every ill-formed part replaced by U+FFFD.
std::string validUtf8(const char* text, size_t length);
