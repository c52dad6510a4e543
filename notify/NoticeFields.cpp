// Time and value texts shared by the channels that hand fields on.
#include "notify/NoticeFields.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/ValueText.h"
#include "notify/NoticeJson.h"
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

std::string consoleText(const Notification& notification) {
    if (!notification.textShown) return "text '" + notification.text + "'";
    std::string key = "attempt " + std::to_string(notification.attempt) + " of the ";
    if (!notification.state.empty()) key += notification.state + " ";
    key += "notice";
    std::string when = noticeTime(notification) > 0 ? isoLocalTime(noticeTime(notification)) : "";
    if (!when.empty()) key += " of " + when;
    return key;
}

std::string valueText(const Notification& notification) {
    if (!std::isfinite(notification.value)) return "";
    return formatValue(notification.value, notification.keepsDecimals);
}

NoticeJson jsonText(const char* text) {
    if (!text) text = "";
    return validUtf8(text, std::strlen(text));
}

NoticeJson valueJson(const Notification& notification) {
    std::string text = valueText(notification);
    if (text.empty()) return nullptr;
    if (text.find_first_of(".eE") == std::string::npos) {
        errno = 0;
        long long whole = std::strtoll(text.c_str(), nullptr, 10);
        if (errno == 0) return static_cast<int64_t>(whole);
    }
    return std::strtod(text.c_str(), nullptr);
}

NoticeJson timeJson(int64_t when) {
    std::string text = when > 0 ? isoLocalTime(when) : "";
    return text.empty() ? NoticeJson(nullptr) : NoticeJson(text);
}

std::string dumped(const NoticeJson& body) {
    return body.dump(-1, ' ', false, NoticeJson::error_handler_t::replace);
}

std::string webhookBody(const Notification& notification, const char* receiverName, int64_t when) {
    const char* text = notification.text.c_str();
    NoticeJson body;
    body["text"] = jsonText(text);
    body["content"] = jsonText(text);
    body["source"] = jsonText(notification.sourceName.c_str());
    body["node"] = jsonText(notification.address.c_str());
    if (!notification.tag.empty()) body["tag"] = jsonText(notification.tag.c_str());
    body["value"] = valueJson(notification);
    body["time"] = timeJson(when);
    // The moment the alarm fired, so a retried post is not read as a new event.
    body["trigger_time"] = timeJson(notification.triggerTime);
    // This notice's own moment: a clear's differs from its raise's, so the two
    // are told apart by a key that would merge them under trigger_time.
    body["event_time"] = timeJson(noticeTime(notification));
    body["receiver"] = jsonText(receiverName);
    body["kind"] = notification.kind == NotificationKind::Info ? "info" : "message";
    // Only nodes with an alarm line tell a state, so other bodies stay as they were.
    if (const char* state = noticeState(notification)) body["state"] = state;
    if (!notification.quality.empty()) body["quality"] = notification.quality;
    return dumped(body);
}

std::string nodeStateBody(const Notification& notification) {
    NoticeJson state;
    state["state"] = tellsNotice(notification, AlarmNotice::Clear) ? "normal" : "active";
    // An acknowledged alarm is still active; the flag tells a dashboard that
    // somebody is on it, until the clear or the next episode replaces it.
    if (tellsNotice(notification, AlarmNotice::Acknowledged)) state["acknowledged"] = true;
    state["source"] = jsonText(notification.sourceName.c_str());
    state["node"] = jsonText(notification.address.c_str());
    if (!notification.tag.empty()) state["tag"] = jsonText(notification.tag.c_str());
    state["value"] = valueJson(notification);
    state["since"] = timeJson(notification.triggerTime);
    state["text"] = jsonText(notification.text.c_str());
    if (!notification.quality.empty()) state["quality"] = notification.quality;
    return dumped(state);
}
