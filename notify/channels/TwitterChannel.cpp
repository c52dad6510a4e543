// Twitter channel and keys file.
#include "notify/channels/TwitterChannel.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "base/Log.h"
#include "base/Records.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "notify/NoticeFields.h"
#include "notify/Sender.h"

// The application's credentials are build settings (CMakeLists.txt), so the
// placeholder lives in one place only.
#if !defined(ZENTOK_TWITTER_CONSUMER_KEY) || !defined(ZENTOK_TWITTER_CONSUMER_SECRET)
#error "ZENTOK_TWITTER_CONSUMER_KEY and ZENTOK_TWITTER_CONSUMER_SECRET come from the build settings"
#endif

const char* const kTwitterConsumerKey = ZENTOK_TWITTER_CONSUMER_KEY;
const char* const kTwitterConsumerSecret = ZENTOK_TWITTER_CONSUMER_SECRET;

struct TwitterAccountState {
    std::atomic<bool> ready{false};
    std::mutex errorMutex;
    std::string lastError;  // guarded by errorMutex

    void recordError(const std::string& error) {
        std::lock_guard<std::mutex> lock(errorMutex);
        lastError = error;
    }
    std::string error() {
        std::lock_guard<std::mutex> lock(errorMutex);
        return lastError;
    }
};

namespace {

const char* const kKeysFile = "BrimselKeys.ini";
// All Twitter receivers post through the one account: one at a time, in the
// order they were decided, and a check made at load comes before them.
const char* const kTwitterLane = "twitter";

// A credential check (checkOnly) or a status post on a copy of the channel's
// client, so a reload that destroys the channel leaves the transfer whole.
class TwitterTransfer : public Transfer {
  public:
    TwitterTransfer(const TwitterClient& model, std::shared_ptr<TwitterAccountState> state,
                    std::string status, std::string notifyLine, DeliveryHandle delivery)
        : client_(model),
          state_(std::move(state)),
          status_(std::move(status)),
          notifyLine_(std::move(notifyLine)),
          delivery_(std::move(delivery)) {}

    // Whether to check first is decided when the turn comes: a check that
    // was queued before has settled by then.
    CURL* start() override {
        bool prepared = !checkOnly() && state_->ready ? preparePost() : prepareCheck();
        return prepared ? static_cast<CURL*>(client_.easyHandle()) : nullptr;
    }

    bool finish(CURLcode result) override {
        client_.requestEnded();
        std::string error;
        client_.lastTransportError(error);
        if (result != CURLE_OK && error.empty()) error = curl_easy_strerror(result);
        state_->recordError(error);
        if (checking_) return checked(result == CURLE_OK, error);
        if (result != CURLE_OK) logf(Log::Always, "notifyTwitter::notify err '%s'\n", error.c_str());
        settle(delivery_, result == CURLE_OK);
        return false;
    }

  private:
    bool checkOnly() const { return status_.empty(); }

    bool prepareCheck() {
        checking_ = true;
        return client_.prepareVerifyCredentials();
    }

    bool preparePost() {
        checking_ = false;
        logf(Log::Always, "%s", notifyLine_.c_str());
        return client_.preparePostStatus(status_, "");
    }

    // The check's outcome; true when the post follows on the same handle.
    bool checked(bool passed, const std::string& error) {
        if (!passed) {
            logf(Log::Always, "notifyTwitter::initTwitter, err '%s'\n", error.c_str());
            settle(delivery_, false);
            return false;
        }
        state_->ready = true;
        if (checkOnly()) return false;
        if (preparePost()) return true;
        settle(delivery_, false);
        return false;
    }

    TwitterClient client_;
    std::shared_ptr<TwitterAccountState> state_;
    std::string status_;  // empty: a check alone
    std::string notifyLine_;
    DeliveryHandle delivery_;
    bool checking_ = false;
};

}  // namespace

void readTwitterKeys(TwitterKeys* keys) {
    if (keys->token[0] != 0 && keys->secret[0] != 0) return;
    FILE* file = fopen(kKeysFile, "rt");
    if (file == nullptr) return;
    char line[300];
    bool got = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!got) return;
    char* cursor = line;
    // label;access token;access token secret - stop at the first missing field.
    if (nextToken(&cursor, ";") == nullptr || cursor == nullptr) return;
    char* token = nextToken(&cursor, ";");
    if (token == nullptr) return;
    copyText(keys->token, token);
    if (cursor == nullptr) return;
    char* secret = nextToken(&cursor, ";");
    if (secret == nullptr) return;
    copyText(keys->secret, secret);
}

TwitterChannel::TwitterChannel(char* rest) : state_(std::make_shared<TwitterAccountState>()) {
    if (rest == nullptr || rest[0] == 0) return;
    char* cursor = rest;
    char* field = nextToken(&cursor, ";");
    if (field == nullptr) return;
    // Blanks and punctuation before the name are dropped; "@", digits and
    // letters stay.
    while (*field != 0 && static_cast<unsigned char>(*field) < '0') ++field;
    if (*field == 0) return;
    if (*field == '@') {
        copyText(target, field);
    } else {
        snprintf(target, sizeof target, "@%s", field);
    }
}

bool TwitterChannel::loadCredentials() {
    readTwitterKeys(&keys_);
    if (keys_.token[0] == 0 || keys_.secret[0] == 0) return false;
    OAuthSigner& signer = client.signer();
    signer.setConsumerKey(kTwitterConsumerKey);
    signer.setConsumerSecret(kTwitterConsumerSecret);
    signer.setAccessToken(keys_.token);
    signer.setAccessTokenSecret(keys_.secret);
    return true;
}

void TwitterChannel::initTwitter() {
    state_->ready = false;
    if (!loadCredentials()) return;
    auto check = std::make_unique<TwitterTransfer>(client, state_, "", "", nullptr);
    if (!sender().submit(kTwitterLane, std::move(check)))
        logf(Log::Always, "notifyTwitter::initTwitter, err 'no sender'\n");
}

bool TwitterChannel::isReady() const {
    return state_->ready;
}

bool TwitterChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    // A keys file created while the program runs is picked up here.
    if (!state_->ready && !loadCredentials()) return false;
    const std::string& text = notification.text;
    std::string line = std::string("notifyTwitter::notify, to ") + (target[0] ? target : "<public>") +
                       ", node " + notification.address + ", " + consoleText(notification) + "\n";
    std::string msg = target[0] ? std::string("d ") + target + " " + text : text;
    if (msg.empty()) {
        // Nothing to post: the line names the error of the previous request.
        logf(Log::Always, "%s", line.c_str());
        logf(Log::Always, "notifyTwitter::notify err '%s'\n", state_->error().c_str());
        return false;
    }
    auto post = std::make_unique<TwitterTransfer>(client, state_, std::move(msg), std::move(line), delivery);
    if (sender().submit(kTwitterLane, std::move(post))) return true;
    logf(Log::Always, "notifyTwitter::notify err 'no sender'\n");
    return false;
}
