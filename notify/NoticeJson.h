// The JSON values of a notice's fields, shared by the channels whose bodies
// are JSON (webhook, MQTT, Alertmanager, PagerDuty, Teams), so a value or a
// time reads the same in each of them.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "notify/Notification.h"

using NoticeJson = nlohmann::ordered_json;

// A text in valid UTF-8: ill-formed parts become U+FFFD as Python's and the
// browsers' decoders replace them. Null gives "".
NoticeJson jsonText(const char* text);
inline NoticeJson jsonText(const std::string& text) {
    return jsonText(text.c_str());
}

// The value as the file channel writes it, a number in JSON: a decimal
// value keeps its digits, a whole one has no fraction; JSON has no form for
// NaN or infinity, so those are null.
NoticeJson valueJson(const Notification& notification);

// The local ISO 8601 time with its offset, or null for 0 or a time that
// cannot be shown.
NoticeJson timeJson(int64_t when);

// The body's text; ill-formed UTF-8 cannot reach it, but a dump never throws.
std::string dumped(const NoticeJson& body);
