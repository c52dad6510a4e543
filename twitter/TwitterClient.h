// REST client for the Twitter API 1.1 over HTTPS. One libcurl easy handle is
// kept for the client's whole life, so an open connection and the lasting
// options carry over from request to request; every request is signed by the
// client's OAuthSigner.
#pragma once

#include <string>
#include <vector>

#include "twitter/OAuthSigner.h"

class TwitterClient {
  public:
    TwitterClient();
    ~TwitterClient();
    // Makes a new handle and carries over the proxy and account texts and all
    // signer fields.
    TwitterClient(const TwitterClient& other);
    TwitterClient& operator=(const TwitterClient&) = delete;

    OAuthSigner& signer() { return signer_; }
    bool hasHandle() const { return handle_ != nullptr; }

    // libcurl's own words for the last failure, for the channel's error line.
    void lastTransportError(std::string& out) const;
    // The body of the latest reply.
    void lastResponseBody(std::string& out) const;

    // Proxy and account settings; an empty text is ignored.
    void setProxyAddress(const std::string& value);
    void setProxyPort(const std::string& value);
    void setProxyUser(const std::string& value);
    void setProxyPassword(const std::string& value);
    void setAccountUser(const std::string& value);
    void setAccountPassword(const std::string& value);
    void getProxyAddress(std::string& out) const { out = proxyAddress_; }
    void getProxyPort(std::string& out) const { out = proxyPort_; }
    void getProxyUser(std::string& out) const { out = proxyUser_; }
    void getProxyPassword(std::string& out) const { out = proxyPassword_; }
    void getAccountUser(std::string& out) const { out = accountUser_; }
    void getAccountPassword(std::string& out) const { out = accountPassword_; }

    // Tests only: send every client's requests to "host:port" instead of the
    // service's API host, and trust the certificates in `caFile`. Empty texts
    // restore the service host and the system's CA store.
    static void setApiBaseForTesting(const std::string& hostAndPort);
    static void setCaFileForTesting(const std::string& caFile);
    // Tests only: the time limit of a whole request in seconds; 0 restores
    // the normal limit.
    static void setRequestTimeoutForTesting(long seconds);

    // For a caller that runs the transfer itself (the notification sender's
    // multi handle): the request of postStatus or verifyCredentials is
    // prepared on easyHandle() as those would send it, but not sent; once
    // the transfer is over, requestEnded releases what the request held.
    // False when there is nothing to send (no handle, an empty status).
    bool preparePostStatus(const std::string& status, const std::string& replyToId);
    bool prepareVerifyCredentials();
    void* easyHandle() const { return handle_; }
    void requestEnded();

    // Statuses. The result is the transport outcome: a reply that refuses the
    // request (an HTTP error status) still counts as sent.
    bool postStatus(const std::string& status, const std::string& replyToId);
    bool statusShow(const std::string& id);
    bool statusDestroy(const std::string& id);
    bool retweet(const std::string& id);
    bool timelineHome(const std::string& sinceId);
    bool timelinePublic();
    bool featured();
    bool timelineFriends();
    bool mentions(const std::string& sinceId);
    bool timelineUser(bool trimUser, bool includeRetweets, unsigned count, const std::string& user,
                      bool isUserId);
    bool search(const std::string& query, const std::string& count);

    // Users, friends and followers.
    bool lookupUsers(const std::vector<std::string>& users, bool isUserId);
    bool userShow(const std::string& user, bool isUserId);
    bool friendsList(const std::string& user, bool isUserId);
    bool followersList(const std::string& user, bool isUserId);
    bool friendshipCreate(const std::string& user, bool isUserId);
    bool friendshipDestroy(const std::string& user, bool isUserId);
    bool friendshipShow(const std::string& target, bool isUserId);
    bool friendsIds(const std::string& user, bool isUserId, const std::string& cursor);
    bool followersIds(const std::string& user, bool isUserId, const std::string& cursor);

    // Direct messages.
    bool directMessages(const std::string& sinceId);
    bool directMessagesSent();
    bool directMessageSend(const std::string& user, const std::string& message, bool isUserId);
    bool directMessageDestroy(const std::string& id);

    // Account, favorites, blocks, saved searches, trends.
    bool verifyCredentials();
    bool rateLimitStatus();
    bool favorites();
    bool favoriteCreate(const std::string& id);
    bool favoriteDestroy(const std::string& id);
    bool blockCreate(const std::string& id);
    bool blockDestroy(const std::string& id);
    bool blocksList(bool includeEntities, bool skipStatus, const std::string& cursor);
    bool blocksIds(bool stringifyIds, const std::string& cursor);
    bool savedSearches();
    bool savedSearchShow(const std::string& id);
    bool savedSearchCreate(const std::string& query);
    bool savedSearchDestroy(const std::string& id);
    bool trends();
    bool trendsDaily();
    bool trendsWeekly();
    bool trendsCurrent();
    bool trendsAvailable();

    // Authorization flow: request token, PIN from the authorize page, access
    // token (the channel takes its access token from the keys file instead).
    bool requestToken(std::string& authorizeUrl);
    bool fetchPin(const std::string& authorizeUrl);
    bool accessToken();

  private:
    void prepareRequest();
    void applyProxyOptions();
    void applyCallbackOptions();
    void applyAccountOptions();
    bool perform(HttpMethod method, const std::string& url, const std::string& body,
                 const std::string& header);
    bool sendGet(const std::string& url);
    bool sendGet(const std::string& url, const std::string& header);
    bool sendPost(const std::string& url, const std::string& body);
    bool sendDelete(const std::string& url);

    // "https://" + API host + "/1.1/" + path (+ id) + ".json".
    std::string buildUrl(const char* path, const std::string& id = "") const;
    // "https://" + API host + an OAuth path.
    std::string oauthUrl(const char* path) const;
    static std::string urlForUser(const std::string& url, const std::string& user, bool isUserId);

    static size_t writeResponseCallback(char* data, size_t size, size_t count, void* user);

    void* handle_ = nullptr;          // CURL*
    void* requestHeaders_ = nullptr;  // curl_slist* of the request under way
    bool prepareOnly_ = false;        // perform prepares and leaves the sending to the caller
    char* errorText_ = nullptr;
    std::string responseBody_;
    bool proxyOptionsApplied_ = false;
    bool accountOptionsApplied_ = false;
    bool callbackOptionsApplied_ = false;
    std::string proxyAddress_;
    std::string proxyPort_;
    std::string proxyUser_;
    std::string proxyPassword_;
    std::string accountUser_;
    std::string accountPassword_;
    int replyFormatIndex_ = 0;  // 0 ".json", 1 ".xml"
    int protocolIndex_ = 0;     // 0 "https://", 1 "http://"
    OAuthSigner signer_;
};
