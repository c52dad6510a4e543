// Twitter channel and keys file.
#include "notify/notifyTwitter.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/Records.h"
#include "core/Settings.h"
#include "core/Text.h"

// The application's credentials are build settings (CMakeLists.txt), so the
// placeholder lives in one place only.
#if !defined(ZENTOK_TWITTER_CONSUMER_KEY) || !defined(ZENTOK_TWITTER_CONSUMER_SECRET)
#error "ZENTOK_TWITTER_CONSUMER_KEY and ZENTOK_TWITTER_CONSUMER_SECRET come from the build settings"
#endif

const char* const kTwitterConsumerKey = ZENTOK_TWITTER_CONSUMER_KEY;
const char* const kTwitterConsumerSecret = ZENTOK_TWITTER_CONSUMER_SECRET;

namespace {
const char* const kKeysFile = "BrimselKeys.ini";
}

void readTwitterKeys() {
    if (twitterToken[0] != 0 && twitterTokenSecret[0] != 0) return;
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
    copyText(twitterToken, token);
    if (cursor == nullptr) return;
    char* secret = nextToken(&cursor, ";");
    if (secret == nullptr) return;
    copyText(twitterTokenSecret, secret);
}

notifyTwitter::notifyTwitter(char* rest) {
    initTwitter();
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

void notifyTwitter::initTwitter() {
    ready = false;
    readTwitterKeys();
    if (twitterToken[0] == 0 || twitterTokenSecret[0] == 0) return;
    OAuthSigner& signer = client.signer();
    signer.setConsumerKey(kTwitterConsumerKey);
    signer.setConsumerSecret(kTwitterConsumerSecret);
    signer.setAccessToken(twitterToken);
    signer.setAccessTokenSecret(twitterTokenSecret);
    if (channelsOffline()) return;  // a configuration check sends nothing
    ready = client.verifyCredentials();
    if (!ready) {
        std::string reply;
        client.lastTransportError(reply);
        printf("notifyTwitter::initTwitter, err '%s'\n", reply.c_str());
    }
}

bool notifyTwitter::notify(const Node& node, const char* text, const DeliveryHandle& delivery) {
    if (!ready) {
        initTwitter();
        if (!ready) return false;
    }
    if (text == nullptr) text = "";
    printf("notifyTwitter::notify, to %s, node %s, text '%s'\n", target[0] ? target : "<public>",
           node.address, text);
    std::string msg = target[0] ? std::string("d ") + target + " " + text : std::string(text);
    if (client.postStatus(msg, "")) {
        settle(delivery, true);
        return true;
    }
    std::string reply;
    client.lastTransportError(reply);
    printf("notifyTwitter::notify err '%s'\n", reply.c_str());
    return false;
}
