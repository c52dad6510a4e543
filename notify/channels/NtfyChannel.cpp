// The ntfy channel. The headers carry texts of the configuration, so they are
// made safe for a header line first; the body is the text in valid UTF-8
// (ntfy keeps a body that is not UTF-8 as an attachment, not a message).
#include "notify/channels/NtfyChannel.h"

#include <cstdio>
#include <cstring>

#include "base/Records.h"
#include "base/Text.h"
#include "notify/HttpPost.h"
#include "notify/UrlScheme.h"
#include "notify/Utf8Text.h"

namespace {

// A header value: valid UTF-8 without control characters, so no text can end
// the header line and start another one.
std::string headerValue(const std::string& text) {
    std::string value = validUtf8(text.data(), text.size());
    for (char& c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return value;
}

// Source and address and, when known, the moment the node fired: the app
// shows when a message arrived, which for a retried alarm is later.
std::string title(const Notification& notification) {
    std::string text = notification.sourceName + " " + notification.address;
    if (notification.triggerTime > 0) text += ", " + formatDateTime(notification.triggerTime);
    return text;
}

}  // namespace

NtfyChannel::NtfyChannel(char* rest) {
    char* cursor = rest;
    char* url = rest ? nextToken(&cursor, ";") : nullptr;
    char* token = url && cursor ? nextToken(&cursor, ";") : nullptr;
    url_ = url ? url : "";
    token_ = token ? token : "";
}

std::string NtfyChannel::addressFault() const {
    return schemeFault("ntfy url", url_, {"http", "https"});
}

bool NtfyChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    const std::string& text = notification.text;

    HttpPostRequest request;
    request.channel = "notifyNtfy";
    request.url = url_;
    request.headers.push_back("Content-Type: text/plain; charset=utf-8");
    request.headers.push_back("Title: " + headerValue(title(notification)));
    request.headers.push_back(notification.kind == NotificationKind::Info ? "Tags: information"
                                                                          : "Tags: warning");
    if (!token_.empty()) request.headers.push_back("Authorization: Bearer " + headerValue(token_));
    request.body = validUtf8(text.data(), text.size());
    request.delivery = delivery;

    // The token is never printed; the URL only masked.
    std::printf("notifyNtfy::notify, url %s, source %s, node %s, text '%s'\n", maskUrl(url_).c_str(),
                notification.sourceName.c_str(), notification.address.c_str(), text.c_str());
    return startHttpPost(std::move(request));
}
