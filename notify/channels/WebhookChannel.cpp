// The webhook channel: the body is built on the dispatch thread, the post
// is run by the sender (notify/HttpPost).
#include "notify/channels/WebhookChannel.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/Clock.h"
#include "base/Records.h"
#include "base/Text.h"
#include "base/ValueText.h"
#include "notify/HttpPost.h"
#include "notify/JsonText.h"
#include "notify/UrlScheme.h"

namespace {

// The value as the file channel writes it; JSON has no form for NaN or
// infinity, so those are null.
std::string jsonValue(const Notification& notification) {
    if (!std::isfinite(notification.value)) return "null";
    return formatValue(notification.value, notification.keepsDecimals);
}

// "2026-12-07T08:26:50+01:00": local time with its offset from UTC.
std::string isoLocalTime(int64_t when) {
    time_t seconds = static_cast<time_t>(when);
    struct tm local {};
    if (!localtime_r(&seconds, &local)) return "null";
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local) == 0) return "null";
    long offsetMinutes = local.tm_gmtoff / 60;
    char offset[40];
    std::snprintf(offset, sizeof offset, "%c%02ld:%02ld", offsetMinutes < 0 ? '-' : '+',
                  std::labs(offsetMinutes) / 60, std::labs(offsetMinutes) % 60);
    return std::string("\"") + stamp + offset + "\"";
}

}  // namespace

WebhookChannel::WebhookChannel(char* rest, const char* receiverName)
    : receiver_(receiverName ? receiverName : "") {
    char* cursor = rest;
    char* field = rest ? nextToken(&cursor, ";") : nullptr;
    url_ = field ? field : "";
}

std::string WebhookChannel::addressFault() const {
    return schemeFault("webhook url", url_, {"http", "https"});
}

std::string webhookBody(const Notification& notification, const char* receiverName, int64_t when) {
    const char* text = notification.text.c_str();
    std::string body = "{\"text\":";
    appendJsonString(&body, text);
    body += ",\"content\":";
    appendJsonString(&body, text);
    body += ",\"source\":";
    appendJsonString(&body, notification.sourceName.c_str());
    body += ",\"node\":";
    appendJsonString(&body, notification.address.c_str());
    body += ",\"value\":" + jsonValue(notification);
    body += ",\"time\":" + isoLocalTime(when);
    // The moment the alarm fired, so a retried post is not read as a new event.
    body += ",\"trigger_time\":" +
            (notification.triggerTime > 0 ? isoLocalTime(notification.triggerTime) : "null");
    body += ",\"receiver\":";
    appendJsonString(&body, receiverName);
    body += notification.kind == NotificationKind::Info ? ",\"kind\":\"info\"}" : ",\"kind\":\"message\"}";
    return body;
}

bool WebhookChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    HttpPostRequest request;
    request.channel = "notifyWebhook";
    request.url = url_;
    request.headers.push_back("Content-Type: application/json; charset=utf-8");
    request.body = webhookBody(notification, receiver_.c_str(), currentTime());
    request.delivery = delivery;

    // Printed before the hand-over, so a quick failure line follows it.
    std::printf("notifyWebhook::notify, url %s, source %s, node %s, text '%s'\n", maskUrl(url_).c_str(),
                notification.sourceName.c_str(), notification.address.c_str(), notification.text.c_str());
    return startHttpPost(std::move(request));
}
