// The webhook channel: the body is built on the dispatch thread, the post
// is run by the sender (notify/HttpPost).
#include "notify/channels/WebhookChannel.h"

#include <cstdio>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Text.h"
#include "notify/HttpPost.h"
#include "notify/NoticeFields.h"
#include "notify/UrlScheme.h"

WebhookChannel::WebhookChannel(char* rest, const char* receiverName)
    : receiver_(receiverName ? receiverName : "") {
    char* cursor = rest;
    char* field = rest ? nextToken(&cursor, ";") : nullptr;
    url_ = field ? field : "";
}

std::string WebhookChannel::addressFault() const {
    return schemeFault("webhook url", url_, {"http", "https"});
}

bool WebhookChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    HttpPostRequest request;
    request.channel = "notifyWebhook";
    request.url = url_;
    request.headers.push_back("Content-Type: application/json; charset=utf-8");
    request.body = webhookBody(notification, receiver_.c_str(), currentTime());
    request.delivery = delivery;

    // Printed before the hand-over, so a quick failure line follows it.
    logf(Log::Always, "notifyWebhook::notify, url %s, source %s, node %s, %s\n", maskUrl(url_).c_str(),
         notification.sourceName.c_str(), notification.address.c_str(), consoleText(notification).c_str());
    return startHttpPost(std::move(request));
}
