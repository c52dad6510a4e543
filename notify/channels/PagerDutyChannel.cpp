// The PagerDuty channel: events are built on the dispatch thread and posted
// by the sender (notify/HttpPost), in the receiver's lane so a resolve never
// overtakes its trigger.
#include "notify/channels/PagerDutyChannel.h"

#include "base/Log.h"
#include "base/Text.h"
#include "notify/HttpPost.h"
#include "notify/NoticeFields.h"
#include "notify/NoticeJson.h"
#include "notify/UrlScheme.h"
#include "notify/Utf8Text.h"

namespace {

// The Events API takes a summary of at most 1024 characters and a
// dedup_key of at most 255.
constexpr size_t kSummaryBytes = 1024;
constexpr size_t kDedupKeyBytes = 255;

std::string nodeKey(const Notification& notification) {
    return notification.sourceName + '\n' + notification.address;
}

std::string dedupKey(const Notification& notification) {
    std::string key = "zentok:" + notification.sourceName + ":" + notification.address + ":" +
                      std::to_string(notification.triggerTime);
    return validUtf8(key.data(), std::min(key.size(), kDedupKeyBytes));
}

// The action a notice asks for; null for one PagerDuty has no use for.
const char* actionOf(const Notification& notification) {
    if (tellsNotice(notification, AlarmNotice::Clear)) return "resolve";
    if (tellsNotice(notification, AlarmNotice::Acknowledged)) return "acknowledge";
    return "trigger";
}

}  // namespace

std::string pagerDutyEvent(const Notification& notification, const std::string& routingKey,
                           const char* action) {
    NoticeJson event;
    event["routing_key"] = jsonText(routingKey);
    event["event_action"] = action;
    event["dedup_key"] = jsonText(dedupKey(notification));
    if (std::string(action) == "trigger") {
        std::string summary = notification.text.empty() ? nodeLabel(notification) : notification.text;
        // Cut on a character's boundary: the cut part of one becomes U+FFFD.
        summary = validUtf8(summary.data(), std::min(summary.size(), kSummaryBytes - 3));
        NoticeJson details;
        details["node"] = jsonText(notification.address);
        details["value"] = valueJson(notification);
        details["state"] = notification.state.empty() ? "raised" : notification.state;
        details["trigger_time"] = timeJson(notification.triggerTime);
        NoticeJson payload;
        payload["summary"] = jsonText(summary);
        payload["source"] = jsonText(notification.sourceName);
        payload["severity"] = notification.kind == NotificationKind::Info ? "info" : "critical";
        payload["timestamp"] = timeJson(noticeTime(notification));
        payload["component"] = jsonText(nodeLabel(notification));
        payload["custom_details"] = details;
        event["payload"] = payload;
        event["client"] = "Zentok";
    }
    return dumped(event);
}

PagerDutyChannel::PagerDutyChannel(char* rest) {
    char* cursor = rest;
    char* key = rest ? nextToken(&cursor, ";") : nullptr;
    char* url = key && cursor ? nextToken(&cursor, ";") : nullptr;
    routingKey_ = key ? key : "";
    url_ = url && *url ? url : kPagerDutyEventsUrl;
}

std::string PagerDutyChannel::addressFault() const {
    if (routingKey_.empty()) return "pagerduty needs a routing key: adr;pagerduty;ROUTING_KEY[;URL]";
    return schemeFault("pagerduty url", url_, {"http", "https"});
}

bool PagerDutyChannel::post(const Notification& notification, const char* action,
                            const DeliveryHandle& delivery) {
    HttpPostRequest request;
    request.channel = "notifyPagerDuty";
    request.url = url_;
    request.headers.push_back("Content-Type: application/json");
    request.body = pagerDutyEvent(notification, routingKey_, action);
    // The channel's own resolve has no outbox entry, but keeps the lane.
    request.delivery = delivery ? delivery : std::make_shared<Delivery>(lane_);
    // The routing key is never printed.
    logf(Log::Always, "notifyPagerDuty::notify, %s, url %s, source %s, node %s, %s\n", action,
         maskUrl(url_).c_str(), notification.sourceName.c_str(), notification.address.c_str(),
         consoleText(notification).c_str());
    return startHttpPost(std::move(request));
}

bool PagerDutyChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    if (delivery) lane_ = delivery->lane();
    const char* action = actionOf(notification);
    Episode& known = episodes_[nodeKey(notification)];
    bool sameEpisode = known.episode == notification.triggerTime;
    if (std::string(action) == "trigger") {
        if (!sameEpisode) known = Episode{notification.triggerTime, false, false};
        known.triggered = true;
    }
    bool handed = post(notification, action, delivery);
    // A trigger handed over after its episode ended (the outbox retried it
    // past the clear) is resolved right behind it, or it would stay open.
    if (handed && sameEpisode && known.ended && std::string(action) == "trigger")
        post(notification, "resolve", nullptr);
    return handed;
}

void PagerDutyChannel::tellState(const Notification& state) {
    bool cleared = tellsNotice(state, AlarmNotice::Clear);
    if (!cleared && !tellsNotice(state, AlarmNotice::Acknowledged)) return;
    Episode& known = episodes_[nodeKey(state)];
    if (known.episode != state.triggerTime) known = Episode{state.triggerTime, false, false};
    if (cleared) known.ended = true;
    if (known.triggered) post(state, cleared ? "resolve" : "acknowledge", nullptr);
}
