// The "teams" channel: posts each notification as an Adaptive Card to a
// Microsoft Teams Workflows webhook ("When a Teams webhook request is
// received"), which takes a message with a card attachment; the webhook
// channel keeps its plain JSON body for the old connectors and other tools.
#pragma once

#include <cstdint>
#include <string>

#include "notify/Notifier.h"

class TeamsChannel : public Notifier {
  public:
    // `rest` is the address line behind "teams" (may be null): the
    // workflow's URL.
    explicit TeamsChannel(char* rest);

    // The sender runs the post itself; false when it could not take it.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    // The URL must name http or https, as a webhook's does.
    std::string addressFault() const override;

  private:
    std::string url_;
};

// The message a workflow takes: {"type":"message","attachments":[one
// Adaptive Card]}, the card holding a title in the state's colour, the text
// and the facts value, time, tag and source.
std::string teamsCardBody(const Notification& notification);
