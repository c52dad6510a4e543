// The "webhook" channel: posts each notification as a JSON object to the
// incoming webhook of a chat service (Slack, Mattermost, Rocket.Chat, Teams,
// Discord) or to any tool that takes a JSON webhook.
#pragma once

#include <cstdint>
#include <string>

#include "notify/NoticeFields.h"
#include "notify/Notifier.h"

class WebhookChannel : public Notifier {
  public:
    // `rest` is the address line behind "webhook" (may be null); its first
    // field is the URL. `receiverName` goes into every body.
    WebhookChannel(char* rest, const char* receiverName);

    // The sender runs the post itself; false when it could not take it.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;

    // The URL must name http or https: left out, libcurl would post the
    // hook's token in clear text.
    std::string addressFault() const override;

    const std::string& url() const { return url_; }

  private:
    std::string url_;
    std::string receiver_;
};
