// The ntfy channel. The headers carry texts of the configuration, so they are
// made safe for a header line first; the body is the text in valid UTF-8
// (ntfy keeps a body that is not UTF-8 as an attachment, not a message).
#include "notify/channels/NtfyChannel.h"

#include <cstdio>
#include <cstring>

#include "base/Log.h"
#include "base/Text.h"
#include "notify/HttpPost.h"
#include "notify/NoticeFields.h"
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

// Source and address and, when known, the moment the notice tells of: the
// app shows when a message arrived, which for a retried alarm is later. A
// clear or reminder names its episode's raise as well.
std::string title(const Notification& notification) {
    std::string text = notification.sourceName + " " + notification.label();
    int64_t when = noticeTime(notification);
    if (when > 0) text += ", " + formatDateTime(when);
    if (notification.triggerTime > 0 && notification.triggerTime != when)
        text += ", raised " + formatDateTime(notification.triggerTime);
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

namespace {

// ntfy shows a tag that names an emoji as that emoji: a warning sign for a
// raise, a bell for a reminder, a check mark for the clear; the state itself
// follows as a plain tag.
std::string tagsHeader(const Notification& notification) {
    const char* state = noticeState(notification);
    if (!state) return notification.kind == NotificationKind::Info ? "Tags: information" : "Tags: warning";
    const char* emoji = tellsNotice(notification, AlarmNotice::Clear)      ? "white_check_mark"
                        : tellsNotice(notification, AlarmNotice::Reminder) ? "bell"
                                                                           : "warning";
    return std::string("Tags: ") + emoji + "," + state;
}

}  // namespace

bool NtfyChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    const std::string& text = notification.text;

    HttpPostRequest request;
    request.channel = "notifyNtfy";
    request.url = url_;
    request.headers.push_back("Content-Type: text/plain; charset=utf-8");
    request.headers.push_back("Title: " + headerValue(title(notification)));
    request.headers.push_back(tagsHeader(notification));
    if (!token_.empty()) request.headers.push_back("Authorization: Bearer " + headerValue(token_));
    request.body = validUtf8(text.data(), text.size());
    request.delivery = delivery;

    // The token is never printed; the URL only masked.
    logf(Log::Always, "notifyNtfy::notify, url %s, source %s, node %s, %s\n", maskUrl(url_).c_str(),
         notification.sourceName.c_str(), notification.label().c_str(), consoleText(notification).c_str());
    return startHttpPost(std::move(request));
}
