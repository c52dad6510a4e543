// The "pagerduty" channel: each alarm is one alert of PagerDuty's Events API
// v2, keyed by a dedup_key per episode and moved by "trigger" at the raise
// (and at its reminders and escalation, which PagerDuty folds into the open
// alert), "acknowledge" at an operator's acknowledgement and "resolve" at the
// clear.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "notify/Notifier.h"

class PagerDutyChannel : public Notifier {
  public:
    // `rest` is the address line behind "pagerduty" (may be null): the
    // integration's routing key and, optionally, the events URL (a local
    // stand-in or a regional endpoint); by default PagerDuty's own.
    explicit PagerDutyChannel(char* rest);

    // The sender runs the post itself; false when it could not take it.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    // A node's episode that ends without a notice of its own (a node without
    // an alarm line re-arms, an alarm without a normal= text clears) must
    // still resolve its alert, and an acknowledgement reaches a receiver
    // without "dir;GROUP;acknowledged" too: the channel resolves or
    // acknowledges each episode it triggered when the node's state says so.
    void tellState(const Notification& state) override;
    std::string addressFault() const override;

  private:
    bool post(const Notification& notification, const char* action, const DeliveryHandle& delivery);

    std::string routingKey_;
    std::string url_;
    std::string lane_;  // the receiver's lane, learnt from its deliveries
    // Per node (source and address), the episode whose trigger was handed
    // over and whether it has ended since; one entry per node at most.
    struct Episode {
        int64_t episode = 0;
        bool triggered = false;
        bool ended = false;
    };
    std::map<std::string, Episode> episodes_;
};

// PagerDuty's default events endpoint.
constexpr const char* kPagerDutyEventsUrl = "https://events.pagerduty.com/v2/enqueue";

// The event of an Events API v2 request: routing_key, event_action
// ("trigger", "acknowledge", "resolve"), dedup_key ("zentok:SOURCE:NODE:EPISODE")
// and, for a trigger, the payload (summary, source, severity, timestamp,
// component, custom_details).
std::string pagerDutyEvent(const Notification& notification, const std::string& routingKey,
                           const char* action);
