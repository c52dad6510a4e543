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
    url_ = url ? url : "";
    while (url && cursor && *cursor) {
        char* field = nextToken(&cursor, ";");
        if (!field) break;
        readField(field);
    }
}

namespace {

// ntfy's priority names and their numbers (1 to 5).
bool knownPriority(const std::string& name) {
    for (const char* known : {"min", "low", "default", "high", "urgent", "max", "1", "2", "3", "4", "5"})
        if (equalsIgnoreCase(name.c_str(), known)) return true;
    return false;
}

}  // namespace

void NtfyChannel::readField(const char* field) {
    std::string text = field;
    if (text == "priority") {
        raisePriority_ = "urgent";
        otherPriority_ = "default";
    } else if (text.rfind("priority=", 0) == 0) {
        std::string value = text.substr(9);
        size_t comma = value.find(',');
        raisePriority_ = value.substr(0, comma);
        otherPriority_ = comma != std::string::npos ? value.substr(comma + 1) : "default";
        if (!knownPriority(raisePriority_) || !knownPriority(otherPriority_))
            optionFault_ = "ntfy priority '" + value + "' is not min, low, default, high, urgent or 1 to 5";
    } else if (text.rfind("tags=", 0) == 0) {
        tags_ = text.substr(5);
    } else if (token_.empty()) {
        token_ = text;
    }
}

std::string NtfyChannel::serverBase() const {
    size_t scheme = url_.find("://");
    size_t path = scheme == std::string::npos ? std::string::npos : url_.find('/', scheme + 3);
    return path == std::string::npos ? url_ : url_.substr(0, path);
}

std::string NtfyChannel::addressFault() const {
    if (!optionFault_.empty()) return optionFault_;
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

// Whether the notice asks for somebody now: a raise (of a node with or
// without an alarm line), its reminder or escalation.
bool calls(const Notification& notification) {
    if (notification.kind == NotificationKind::Info) return false;
    return !noticeState(notification) || tellsNotice(notification, AlarmNotice::Raise) ||
           tellsNotice(notification, AlarmNotice::Reminder) ||
           tellsNotice(notification, AlarmNotice::Escalated);
}

}  // namespace

bool NtfyChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    const std::string& text = notification.text;

    HttpPostRequest request;
    request.channel = "notifyNtfy";
    request.url = url_;
    request.headers.push_back("Content-Type: text/plain; charset=utf-8");
    request.headers.push_back("Title: " + headerValue(title(notification)));
    std::string tags = tagsHeader(notification);
    if (!tags_.empty()) tags += "," + tags_;
    request.headers.push_back(headerValue(tags));
    if (!raisePriority_.empty())
        request.headers.push_back("Priority: " +
                                  headerValue(calls(notification) ? raisePriority_ : otherPriority_));
    if (!token_.empty()) request.headers.push_back("Authorization: Bearer " + headerValue(token_));
    // A receiver that takes replies: one button publishes "ACK TAG CODE" to its reply topic.
    if (!notification.replyTopic.empty() && !notification.replyCode.empty() &&
        notification.label().find_first_of(",;'\"") == std::string::npos)
        request.headers.push_back("Actions: http, Acknowledge, " + serverBase() + "/" +
                                  notification.replyTopic + ", method=POST, body=ACK " +
                                  headerValue(notification.label()) + " " + notification.replyCode +
                                  ", clear=true");
    request.body = validUtf8(text.data(), text.size());
    request.delivery = delivery;

    // The token is never printed; the URL only masked.
    logf(Log::Always, "notifyNtfy::notify, url %s, source %s, node %s, %s\n", maskUrl(url_).c_str(),
         notification.sourceName.c_str(), notification.label().c_str(), consoleText(notification).c_str());
    return startHttpPost(std::move(request));
}
