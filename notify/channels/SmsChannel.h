// The "sms" channel: each notification becomes a message file in the spool
// of smstools (uplink;sms;smstools;SPOOLDIR), which sends it through the
// local GSM modem. Zentok only writes and reads files; it never talks to the
// modem. A message is handed over when its file is in outgoing/; smstools
// moves it to sent/ or failed/, which settles its final outcome.
#pragma once

#include <string>
#include <vector>

#include "base/Settings.h"
#include "notify/Notifier.h"

// A message whose final outcome the spool has told.
struct SmsOutcome {
    std::string file;  // its name in the spool
    std::string number;
    std::string address;  // the node it was about
    bool sent = false;    // in sent/; otherwise in failed/
};

class SmsChannel : public Notifier {
  public:
    // `rest` is the address line behind "sms": the phone number.
    explicit SmsChannel(char* rest, UplinksHandle uplinks = noUplinks());

    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    std::string addressFault() const override;
    std::string sendFault() const override;

    const std::string& number() const { return number_; }
    // The messages that reached sent/ or failed/ since the last look.
    std::vector<SmsOutcome> takeOutcomes();

  private:
    struct Pending {
        std::string file;
        std::string address;
    };
    std::string number_;
    UplinksHandle uplinks_;
    std::vector<Pending> pending_;  // handed over, outcome not yet seen
};

// Empty when the spool the uplink names can be used: it and its outgoing/
// folder exist and this process may write there; otherwise what is wrong.
std::string smsSpoolFault(const Uplinks& uplinks);

// Writes `content` as a new file `name` in `folder`: first under a hidden
// name (smstools passes over files whose name starts with a dot), synced,
// then renamed, so the spool never sees half a message. False with the error.
bool placeSpoolFile(const std::string& folder, const std::string& name, const std::string& content,
                    std::string* error);
