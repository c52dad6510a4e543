// The "alertmanager" channel: mirrors the active alarms into Prometheus
// Alertmanager (API v2, POST /api/v2/alerts). Alertmanager resolves an alert
// by itself once it is not sent again within its resolve_timeout (5 min by
// default), so the channel sends every active alarm again while it lasts,
// and an end time (endsAt) at the clear; in a cluster each instance is sent
// every post, as Alertmanager asks of its clients.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "notify/Notifier.h"

class AlertmanagerChannel : public Notifier {
  public:
    // `rest` is the address line behind "alertmanager" (may be null): one
    // URL or several separated by ",", each an Alertmanager's base URL
    // ("http://host:9093") or its alerts endpoint; `receiverName` names
    // the order each URL's posts keep.
    AlertmanagerChannel(char* rest, const char* receiverName);

    // Posts the notice's alert to every URL; `delivery` is delivered once
    // all took it and fails when one did not, for the outbox to post it
    // again (to all: Alertmanager merges an alert it has by its labels). A
    // notice of an episode older than one the node has begun since is
    // delivered without a post.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    // The end of an episode is posted at once, also when no notice of it is
    // sent (a node without an alarm line re-arms, an alarm without a
    // normal= text clears); an acknowledgement is posted as an annotation.
    void tellState(const Notification& state) override;
    // Every active alarm is posted again once the repost period has passed.
    bool mirrorDue(int64_t now) const override { return now >= nextMirror_; }
    void mirrorActive(const std::vector<Notification>& active, int64_t now) override;
    std::string addressFault() const override { return fault_; }

    const std::vector<std::string>& urls() const { return urls_; }

  private:
    // Posts the alerts to every URL, each URL in its own lane; `delivery`
    // (may be null) settles once all posts ended.
    bool postToAll(const std::vector<const Notification*>& alerts, const DeliveryHandle& delivery,
                   const char* what);
    std::string alertOf(const Notification& notification) const;

    struct Episode {
        int64_t episode = 0;
        int64_t endedAt = 0;    // when it returned to normal; 0 while active
        std::string raiseText;  // the raise's text, the summary of its acknowledgement
    };
    std::vector<std::string> urls_;
    std::string fault_;
    std::string receiver_;
    int64_t nextMirror_ = 0;
    std::map<std::string, Episode> episodes_;  // per source and node, the last episode
};

// The alert of one notification as a JSON object: labels alertname
// ("ZentokAlarm", "ZentokNotice" for an info node), source, node (its tag
// or address) and severity ("critical", "info"); annotations summary (the
// raise's text) and, once acknowledged, acknowledgement; startsAt the
// raise, endsAt the return to normal when `endedAt` is not 0.
std::string alertmanagerAlert(const Notification& notification, const std::string& raiseText,
                              int64_t endedAt);

// How often the active alarms are posted again: 60 s, well inside
// Alertmanager's default resolve_timeout of 5 min. Tests shorten it; 0
// restores it.
void setAlertmanagerRepostForTesting(int seconds);
