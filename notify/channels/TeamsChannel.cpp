// The Teams channel: the card is built on the dispatch thread, the post is
// run by the sender (notify/HttpPost).
#include "notify/channels/TeamsChannel.h"

#include "base/Log.h"
#include "base/Text.h"
#include "notify/HttpPost.h"
#include "notify/NoticeFields.h"
#include "notify/NoticeJson.h"
#include "notify/UrlScheme.h"

namespace {

// The title's word and colour (an Adaptive Card's named colours) for the
// notice: red while the alarm needs somebody, green at its end, amber once
// somebody is on it.
struct CardLook {
    const char* word;
    const char* colour;
};

CardLook lookOf(const Notification& notification) {
    if (tellsNotice(notification, AlarmNotice::Clear)) return {"Cleared", "Good"};
    if (tellsNotice(notification, AlarmNotice::Acknowledged)) return {"Acknowledged", "Warning"};
    if (tellsNotice(notification, AlarmNotice::Reminder)) return {"Reminder", "Attention"};
    if (tellsNotice(notification, AlarmNotice::Escalated)) return {"Escalated", "Attention"};
    if (tellsNotice(notification, AlarmNotice::Summary)) return {"Summary", "Accent"};
    if (tellsNotice(notification, AlarmNotice::Unshelved)) return {"Unshelved", "Attention"};
    if (notification.kind == NotificationKind::Info) return {"Notice", "Accent"};
    return {"Alarm", "Attention"};
}

NoticeJson fact(const char* title, const std::string& value) {
    return NoticeJson{{"title", title}, {"value", jsonText(value)}};
}

}  // namespace

std::string teamsCardBody(const Notification& notification) {
    CardLook look = lookOf(notification);
    std::string value = valueText(notification);
    int64_t when = noticeTime(notification);

    NoticeJson title{
        {"type", "TextBlock"},  {"text", jsonText(std::string(look.word) + ": " + nodeLabel(notification))},
        {"size", "Large"},      {"weight", "Bolder"},
        {"color", look.colour}, {"wrap", true}};
    NoticeJson text{{"type", "TextBlock"}, {"text", jsonText(notification.text)}, {"wrap", true}};
    NoticeJson facts = NoticeJson::array();
    facts.push_back(fact("Value", value.empty() ? "unknown" : value));
    facts.push_back(fact("Time", when > 0 ? formatDateTimeWithOffset(when) : "unknown"));
    facts.push_back(fact("Tag", nodeLabel(notification)));
    facts.push_back(fact("Source", notification.sourceName));

    NoticeJson card;
    card["$schema"] = "http://adaptivecards.io/schemas/adaptive-card.json";
    card["type"] = "AdaptiveCard";
    card["version"] = "1.4";
    card["body"] = NoticeJson::array({title, text, NoticeJson{{"type", "FactSet"}, {"facts", facts}}});
    NoticeJson attachment{{"contentType", "application/vnd.microsoft.card.adaptive"},
                          {"contentUrl", nullptr},
                          {"content", card}};
    NoticeJson message{{"type", "message"}, {"attachments", NoticeJson::array({attachment})}};
    return dumped(message);
}

TeamsChannel::TeamsChannel(char* rest) {
    char* cursor = rest;
    char* url = rest ? nextToken(&cursor, ";") : nullptr;
    url_ = url ? url : "";
}

std::string TeamsChannel::addressFault() const {
    return schemeFault("teams url", url_, {"http", "https"});
}

bool TeamsChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    HttpPostRequest request;
    request.channel = "notifyTeams";
    request.url = url_;
    request.headers.push_back("Content-Type: application/json; charset=utf-8");
    request.body = teamsCardBody(notification);
    request.delivery = delivery;

    // The workflow's URL carries its signature in the query: only masked.
    logf(Log::Always, "notifyTeams::notify, url %s, source %s, node %s, %s\n", maskUrl(url_).c_str(),
         notification.sourceName.c_str(), notification.address.c_str(), consoleText(notification).c_str());
    return startHttpPost(std::move(request));
}
