// The "ntfy" channel: posts each notification as plain text to a topic of an
// ntfy push server, with a title and a tag the phone app shows.
#pragma once

#include <string>

#include "notify/Notifier.h"

class NtfyChannel : public Notifier {
  public:
    // `rest` is the address line behind "ntfy" (may be null): the topic URL
    // and, optionally, an access token sent as "Authorization: Bearer".
    explicit NtfyChannel(char* rest);

    // The sender runs the post itself; false when it could not take it.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    // The topic URL must name http or https, as a webhook's does.
    std::string addressFault() const override;

    const std::string& token() const { return token_; }
    const std::string& url() const { return url_; }
    // The server's address, "https://ntfy.example", where the reply topic lives.
    std::string serverBase() const;

  private:
    std::string url_;
    std::string token_;
};
