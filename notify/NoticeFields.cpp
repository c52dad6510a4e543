// Time and value texts shared by the channels that hand fields on.
#include "notify/NoticeFields.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/Records.h"
#include "notify/JsonText.h"

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

// JSON has no form for NaN or infinity, so those are null.
std::string jsonValue(double value) {
    std::string text = wholeNumberText(value);
    return text.empty() ? "null" : text;
}

std::string jsonTime(int64_t when) {
    std::string text = isoLocalTime(when);
    return text.empty() ? "null" : "\"" + text + "\"";
}

}  // namespace

std::string webhookBody(const Node& node, const char* text, const char* receiverName, int64_t when) {
    std::string body = "{\"text\":";
    appendJsonString(&body, text);
    body += ",\"content\":";
    appendJsonString(&body, text);
    body += ",\"source\":";
    appendJsonString(&body, node.source ? node.source->name : "");
    body += ",\"node\":";
    appendJsonString(&body, node.address);
    body += ",\"value\":" + jsonValue(node.value);
    body += ",\"time\":" + jsonTime(when);
    // The moment the alarm fired, so a retried post is not read as a new event.
    body += ",\"trigger_time\":" + (node.triggerTime > 0 ? jsonTime(node.triggerTime) : "null");
    body += ",\"receiver\":";
    appendJsonString(&body, receiverName);
    body += node.info ? ",\"kind\":\"info\"}" : ",\"kind\":\"message\"}";
    return body;
}
