// Time and value texts shared by the channels that hand fields on.
#include "notify/NoticeFields.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "base/Alarm.h"
#include "base/Records.h"
#include "base/ValueText.h"
#include "notify/Utf8Text.h"

std::string isoLocalTime(int64_t when) {
    time_t seconds = static_cast<time_t>(when);
    struct tm local {};
    if (!localtime_r(&seconds, &local)) return "";
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local) == 0) return "";
    long offsetMinutes = local.tm_gmtoff / 60;
    char offset[40];
    std::snprintf(offset, sizeof offset, "%c%02ld:%02ld", offsetMinutes < 0 ? '-' : '+',
                  std::labs(offsetMinutes) / 60, std::labs(offsetMinutes) % 60);
    return std::string(stamp) + offset;
}

std::string valueText(const Node& node) {
    if (!std::isfinite(node.value)) return "";
    return formatValue(node.value, node.keepsDecimals());
}

namespace {

using Json = nlohmann::ordered_json;

// Every text in valid UTF-8 before it goes into a body: ill-formed parts
// become U+FFFD as Python's and the browsers' decoders replace them.
Json jsonText(const char* text) {
    if (!text) text = "";
    return validUtf8(text, std::strlen(text));
}

// The value as the file channel writes it, a number in JSON: a decimal
// value keeps its digits, a whole one has no fraction; JSON has no form for
// NaN or infinity, so those are null.
Json valueJson(const Node& node) {
    std::string text = valueText(node);
    if (text.empty()) return nullptr;
    if (text.find_first_of(".eE") == std::string::npos) {
        errno = 0;
        long long whole = std::strtoll(text.c_str(), nullptr, 10);
        if (errno == 0) return static_cast<int64_t>(whole);
    }
    return std::strtod(text.c_str(), nullptr);
}

Json timeJson(int64_t when) {
    std::string text = when > 0 ? isoLocalTime(when) : "";
    return text.empty() ? Json(nullptr) : Json(text);
}

std::string dumped(const Json& body) {
    return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string webhookBody(const Node& node, const char* text, const char* receiverName, int64_t when) {
    Json body;
    body["text"] = jsonText(text);
    body["content"] = jsonText(text);
    body["source"] = jsonText(node.source ? node.source->name : "");
    body["node"] = jsonText(node.address);
    body["value"] = valueJson(node);
    body["time"] = timeJson(when);
    // The moment the alarm fired, so a retried post is not read as a new event.
    body["trigger_time"] = timeJson(node.triggerTime);
    body["receiver"] = jsonText(receiverName);
    body["kind"] = node.info ? "info" : "message";
    // Only nodes with an alarm line tell a state, so other bodies stay as they were.
    if (const char* state = alarmStateOf(node)) body["state"] = state;
    return dumped(body);
}

std::string nodeStateBody(const Node& node, const char* text) {
    Json state;
    state["state"] = node.alarmState.notice == AlarmNotice::Clear ? "normal" : "active";
    state["source"] = jsonText(node.source ? node.source->name : "");
    state["node"] = jsonText(node.address);
    state["value"] = valueJson(node);
    state["since"] = timeJson(node.triggerTime);
    state["text"] = jsonText(text);
    return dumped(state);
}
