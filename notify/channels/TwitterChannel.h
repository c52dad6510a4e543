// The "twitter" channel: publishes each notification as a status of the
// account whose access token is in the keys file "BrimselKeys.ini", or as a
// direct message ("d @name text") when the address line names a target.
// The credential check and the posts are run by the sender, one after the
// other for all Twitter receivers (they share the one account).
#pragma once

#include <memory>

#include "base/Settings.h"
#include "notify/Notifier.h"
#include "notify/twitter/TwitterClient.h"

// What a channel and its transfers share: whether the last credential check
// succeeded, and the error text of the last request.
struct TwitterAccountState;

// The application's credentials, fixed when the program is built.
extern const char* const kTwitterConsumerKey;
extern const char* const kTwitterConsumerSecret;

// The account's access token and its secret, each at most 100 characters.
struct TwitterKeys {
    char token[kSettingSize] = {};
    char secret[kSettingSize] = {};
};

// Fills the token and the secret from the first line of "BrimselKeys.ini" in
// the working directory (label;token;secret) unless both are already set.
void readTwitterKeys(TwitterKeys* keys);

class TwitterChannel : public Notifier {
  public:
    // `rest` is the address line behind "twitter" (may be null); its first
    // field names the target account.
    explicit TwitterChannel(char* rest);

    // Hands the post to the sender (behind a credential check while none
    // has succeeded); false without credentials or for an empty status.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    // Loads the credentials and hands a check of them to the sender: when
    // the configuration comes into force, so a wrong key shows at once
    // rather than at the first alarm. Until a check succeeds, each post is
    // preceded by another one.
    void initTwitter();
    void start() override { initTwitter(); }

    // The last credential check succeeded.
    bool isReady() const;
    const char* targetName() const { return target; }

  private:
    // Reads the keys file when needed and hands the credentials to the
    // client's signer; false when either is missing.
    bool loadCredentials();

    std::shared_ptr<TwitterAccountState> state_;
    TwitterKeys keys_;     // read from the keys file once per channel, until both are there
    TwitterClient client;  // the model each transfer copies
    char target[100] = {};
};
