// The "twitter" channel: publishes each notification as a status of the
// account whose access token is in the keys file "BrimselKeys.ini", or as a
// direct message ("d @name text") when the address line names a target.
#pragma once

#include "notify/Notifier.h"
#include "twitter/TwitterClient.h"

// The application's credentials, fixed when the program is built.
extern const char* const kTwitterConsumerKey;
extern const char* const kTwitterConsumerSecret;

// Fills twitterToken and twitterTokenSecret from the first line of
// "BrimselKeys.ini" in the working directory (label;token;secret) unless both
// are already set.
void readTwitterKeys();

class notifyTwitter : public Notifier {
  public:
    // `rest` is the address line behind "twitter" (may be null); its first
    // field names the target account.
    explicit notifyTwitter(char* rest);

    using Notifier::notify;
    bool notify(const Node& node, const char* text, const DeliveryHandle& delivery) override;
    // Loads the credentials and has the service confirm them: at load, so a
    // wrong key shows at once rather than at the first alarm, and again before
    // each notification until it succeeds.
    void initTwitter();

    bool isReady() const { return ready; }
    const char* targetName() const { return target; }

  private:
    bool ready = false;
    TwitterClient client;
    char target[100] = {};
};
