// Single JSON strings (RFC 8259); the channels' bodies are built with
// nlohmann-json in NoticeFields and TelegramChannel.
#pragma once

#include <cstddef>
#include <string>

// Appends `length` bytes of `text` to `out` as a JSON string, quotes
// included: quotation mark, backslash and the control characters U+0000 to
// U+001F escaped, every ill-formed UTF-8 part replaced by U+FFFD, so the
// result is valid JSON in valid UTF-8 whatever the bytes were.
void appendJsonString(std::string* out, const char* text, size_t length);

// The same for a zero-terminated text; null gives "".
void appendJsonString(std::string* out, const char* text);
