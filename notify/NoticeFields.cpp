// Time and value texts shared by the channels that hand fields on.
#include "notify/NoticeFields.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "base/Records.h"
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

std::string wholeNumberText(double value) {
    if (!std::isfinite(value)) return "";
    char number[400];  // %.0lf of the largest double has 309 digits
    std::snprintf(number, sizeof number, "%.0lf", value);
    return number;
}

namespace {

using Json = nlohmann::ordered_json;

// Every text in valid UTF-8 before it goes into a body: ill-formed parts
// become U+FFFD as Python's and the browsers' decoders replace them.
Json jsonText(const char* text) {
    if (!text) text = "";
    return validUtf8(text, std::strlen(text));
}

// The value as a whole number, rounded as the file channel's "%.0lf"
// rounds it; JSON has no form for NaN or infinity, so those are null.
Json wholeNumberJson(double value) {
    if (!std::isfinite(value)) return nullptr;
    double whole = std::nearbyint(value);
    if (std::fabs(whole) < 9.0e15) return static_cast<int64_t>(whole);
    return whole;
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
    body["value"] = wholeNumberJson(node.value);
    body["time"] = timeJson(when);
    // The moment the alarm fired, so a retried post is not read as a new event.
    body["trigger_time"] = timeJson(node.triggerTime);
    body["receiver"] = jsonText(receiverName);
    body["kind"] = node.info ? "info" : "message";
    return dumped(body);
}

std::string nodeStateBody(const Node& node, const char* text) {
    Json state;
    state["state"] = "active";
    state["source"] = jsonText(node.source ? node.source->name : "");
    state["node"] = jsonText(node.address);
    state["value"] = wholeNumberJson(node.value);
    state["since"] = timeJson(node.triggerTime);
    state["text"] = jsonText(text);
    return dumped(state);
}
