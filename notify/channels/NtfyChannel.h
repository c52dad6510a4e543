// The "ntfy" channel: posts each notification as plain text to a topic of an
// ntfy push server, with a title and a tag the phone app shows.
#pragma once

#include <string>

#include "notify/Notifier.h"

class NtfyChannel : public Notifier {
  public:
    // `rest` is the address line behind "ntfy" (may be null): the topic URL
    // and, optionally, an access token sent as "Authorization: Bearer", then
    // in any order "priority" (urgent for a call, default for the rest),
    // "priority=RAISE[,CLEAR]" (min, low, default, high, urgent or 1 to 5;
    // default when CLEAR is left out) and "tags=A,B", tags sent with every
    // message after the state's own. Without a priority field no Priority
    // header is sent, as before the field existed.
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
    // Reads one field behind the URL: an option, or else the token.
    void readField(const char* field);

    std::string url_;
    std::string token_;
    std::string raisePriority_;  // a raise, its reminders and its escalation; empty: no header
    std::string otherPriority_;  // the clear and every other notice
    std::string tags_;           // "A,B" or empty
    std::string optionFault_;
};
