// The "ntfy" channel: posts each notification as plain text to a topic of an
// ntfy push server, with a title and a tag the phone app shows.
#pragma once

#include <string>

#include "notify/Notifier.h"

class notifyNtfy : public Notifier {
  public:
    // `rest` is the address line behind "ntfy" (may be null): the topic URL
    // and, optionally, an access token sent as "Authorization: Bearer".
    explicit notifyNtfy(char* rest);

    // False only for a node without source; the sender runs the post itself.
    using Notifier::notify;
    bool notify(const Node& node, const char* text, const DeliveryHandle& delivery) override;
    // The topic URL must name http or https, as a webhook's does.
    std::string addressFault() const override;

  private:
    std::string url_;
    std::string token_;
};
