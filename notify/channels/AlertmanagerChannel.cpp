// The Alertmanager channel. Only the notices (raise, acknowledgement, clear)
// are outbox entries; the reposts are not: each carries the whole active set,
// so one that is lost is made good by the next, and a repost after a crash
// is harmless, since Alertmanager merges alerts by their labels.
#include "notify/channels/AlertmanagerChannel.h"

#include <atomic>
#include <cstring>
#include <memory>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Text.h"
#include "notify/HttpPost.h"
#include "notify/NoticeFields.h"
#include "notify/NoticeJson.h"
#include "notify/UrlScheme.h"

namespace {

constexpr int kRepostSeconds = 60;
std::atomic<int> gRepostSeconds{kRepostSeconds};

constexpr const char* kAlertsPath = "/api/v2/alerts";

std::string nodeKey(const Notification& notification) {
    return notification.sourceName + '\n' + notification.address;
}

// The alerts endpoint of a configured URL: a base URL gets the path.
std::string alertsUrl(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    bool hasPath = url.size() >= std::strlen(kAlertsPath) &&
                   url.compare(url.size() - std::strlen(kAlertsPath), std::string::npos, kAlertsPath) == 0;
    return hasPath ? url : url + kAlertsPath;
}

// Settles one notice's delivery once every Alertmanager's post ended:
// delivered when all took it.
struct AllPosts {
    AllPosts(int count, DeliveryHandle outcome) : left(count), delivery(std::move(outcome)) {}
    void ended(bool delivered) {
        if (!delivered) failed = true;
        if (left.fetch_sub(1) == 1) settle(delivery, !failed.load());
    }
    std::atomic<int> left;
    std::atomic<bool> failed{false};
    DeliveryHandle delivery;
};

}  // namespace

std::string alertmanagerAlert(const Notification& notification, const std::string& raiseText,
                              int64_t endedAt) {
    bool info = notification.kind == NotificationKind::Info;
    NoticeJson labels;
    labels["alertname"] = info ? "ZentokNotice" : "ZentokAlarm";
    labels["source"] = jsonText(notification.sourceName);
    labels["node"] = jsonText(nodeLabel(notification));
    labels["severity"] = info ? "info" : "critical";
    NoticeJson annotations;
    bool acknowledged = tellsNotice(notification, AlarmNotice::Acknowledged);
    annotations["summary"] = jsonText(acknowledged && !raiseText.empty() ? raiseText : notification.text);
    if (acknowledged) annotations["acknowledgement"] = jsonText(notification.text);
    NoticeJson alert;
    alert["labels"] = labels;
    alert["annotations"] = annotations;
    alert["startsAt"] = timeJson(notification.triggerTime);
    if (endedAt > 0) alert["endsAt"] = timeJson(endedAt);
    return dumped(alert);
}

void setAlertmanagerRepostForTesting(int seconds) {
    gRepostSeconds = seconds > 0 ? seconds : kRepostSeconds;
}

AlertmanagerChannel::AlertmanagerChannel(char* rest, const char* receiverName)
    : receiver_(receiverName ? receiverName : "") {
    char* cursor = rest;
    char* list = rest ? nextToken(&cursor, ";") : nullptr;
    std::string urls = list ? list : "";
    size_t start = 0;
    while (start <= urls.size() && !urls.empty()) {
        size_t comma = urls.find(',', start);
        std::string url = urls.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        url.erase(0, url.find_first_not_of(' '));
        url.erase(url.find_last_not_of(' ') + 1);
        if (!url.empty()) {
            std::string fault = schemeFault("alertmanager url", url, {"http", "https"});
            if (!fault.empty() && fault_.empty()) fault_ = fault;
            urls_.push_back(alertsUrl(url));
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (urls_.empty() && fault_.empty()) fault_ = "alertmanager needs a URL: adr;alertmanager;URL[,URL...]";
}

std::string AlertmanagerChannel::alertOf(const Notification& notification) const {
    auto known = episodes_.find(nodeKey(notification));
    bool same = known != episodes_.end() && known->second.episode == notification.triggerTime;
    int64_t endedAt = same ? known->second.endedAt : 0;
    if (tellsNotice(notification, AlarmNotice::Clear)) endedAt = noticeTime(notification);
    return alertmanagerAlert(notification, same ? known->second.raiseText : "", endedAt);
}

bool AlertmanagerChannel::postToAll(const std::vector<const Notification*>& alerts,
                                    const DeliveryHandle& delivery, const char* what) {
    std::string body = "[";
    for (const Notification* alert : alerts) body += (body.size() > 1 ? "," : "") + alertOf(*alert);
    body += "]";
    auto all = std::make_shared<AllPosts>(static_cast<int>(urls_.size()), delivery);
    bool handed = true;
    for (const std::string& url : urls_) {
        HttpPostRequest request;
        request.channel = "notifyAlertmanager";
        request.url = url;
        request.headers.push_back("Content-Type: application/json");
        request.body = body;
        // Each Alertmanager keeps its own order: one that is down holds up
        // only its own posts.
        request.delivery = std::make_shared<Delivery>(receiver_ + "\n" + url);
        request.onOutcome = [all](bool delivered) { all->ended(delivered); };
        handed = startHttpPost(std::move(request)) && handed;
    }
    logf(Log::Detail, "notifyAlertmanager, receiver %s: %s, %zu alert(s) to %zu url(s)\n", receiver_.c_str(),
         what, alerts.size(), urls_.size());
    return handed;
}

bool AlertmanagerChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    Episode& known = episodes_[nodeKey(notification)];
    if (known.episode > notification.triggerTime) {
        // Alertmanager keeps one alert per node (its labels), which stands for
        // the node's newer episode by now: a late notice of the older one
        // would put that alert back to its old state, so it has nothing left
        // to tell.
        logf(Log::Always,
             "notifyAlertmanager::notify, source %s, node %s, %s: superseded by a newer episode\n",
             notification.sourceName.c_str(), notification.address.c_str(),
             consoleText(notification).c_str());
        settle(delivery, true);
        return true;
    }
    if (known.episode != notification.triggerTime) known = Episode{notification.triggerTime, 0, ""};
    if (tellsNotice(notification, AlarmNotice::Clear)) known.endedAt = noticeTime(notification);
    bool raise = !noticeState(notification) || tellsNotice(notification, AlarmNotice::Raise);
    if (raise && known.raiseText.empty()) known.raiseText = notification.text;
    for (const std::string& url : urls_)
        logf(Log::Always, "notifyAlertmanager::notify, url %s, source %s, node %s, %s\n",
             maskUrl(url).c_str(), notification.sourceName.c_str(), notification.address.c_str(),
             consoleText(notification).c_str());
    return postToAll({&notification}, delivery, "notice");
}

void AlertmanagerChannel::tellState(const Notification& state) {
    Episode& known = episodes_[nodeKey(state)];
    if (known.episode != state.triggerTime) known = Episode{state.triggerTime, 0, ""};
    if (tellsNotice(state, AlarmNotice::Raise)) {
        known.raiseText = state.text;
        return;  // the raise's notice posts it, unless the node is shelved
    }
    // A state is told as it changes: the clear's moment is now.
    if (tellsNotice(state, AlarmNotice::Clear)) known.endedAt = currentTime();
    if (tellsNotice(state, AlarmNotice::Clear) || tellsNotice(state, AlarmNotice::Acknowledged))
        postToAll({&state}, nullptr, state.state.c_str());
}

void AlertmanagerChannel::mirrorActive(const std::vector<Notification>& active, int64_t now) {
    nextMirror_ = now + gRepostSeconds.load();
    if (active.empty()) return;
    std::vector<const Notification*> alerts;
    for (const Notification& alert : active) alerts.push_back(&alert);
    postToAll(alerts, nullptr, "repost of the active alarms");
}
