// The Twitter client against the local HTTPS peer, which checks every OAuth
// signature with oauthlib and records each request.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "notify/twitter/TwitterClient.h"
#include "support/TestSupport.h"
#include "support/TwitterPeer.h"

using namespace testsupport;

namespace {

const char* const kConsumerSecret = "cs-Secret0";
const char* const kTokenSecret = "ts-Secret1";

class TwitterClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        peer = new TwitterPeer();
        peerStarted = peer->start(kConsumerSecret, kTokenSecret);
    }
    static void TearDownTestSuite() {
        delete peer;
        peer = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(peerStarted) << peer->log();
        peer->useForClients();
        client = std::make_unique<TwitterClient>();
        ASSERT_TRUE(client->hasHandle());
        OAuthSigner& signer = client->signer();
        signer.setConsumerKey("ck");
        signer.setConsumerSecret(kConsumerSecret);
        signer.setAccessToken("tok");
        signer.setAccessTokenSecret(kTokenSecret);
    }
    void TearDown() override {
        client.reset();
        TwitterPeer::restoreClients();
        TwitterClient::setRequestTimeoutForTesting(0);
        unsetenv("https_proxy");
        unsetenv("HTTPS_PROXY");
    }

    // The latest request, which must carry a valid signature with a fresh nonce.
    PeerRequest lastSigned() {
        PeerRequest r = peer->last();
        EXPECT_TRUE(r.valid) << r.method << " " << r.path << "?" << r.query << "\n" << peer->log();
        EXPECT_FALSE(r.replay) << r.method << " " << r.path;
        return r;
    }
    size_t requestCount() { return peer->requests().size(); }

    static TwitterPeer* peer;
    static bool peerStarted;
    std::unique_ptr<TwitterClient> client;
};

TwitterPeer* TwitterClientTest::peer = nullptr;
bool TwitterClientTest::peerStarted = false;

}  // namespace

TEST_F(TwitterClientTest, VerifyCredentialsIsASignedGetWithDecodedReply) {
    std::string text = "x";
    client->lastTransportError(text);
    EXPECT_EQ(text, "");  // before any request

    ASSERT_TRUE(client->verifyCredentials());
    PeerRequest r = lastSigned();
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/1.1/account/verify_credentials.json");
    EXPECT_EQ(r.query, "");
    EXPECT_EQ(r.body, "");
    EXPECT_NE(r.header("Accept-Encoding").find("gzip"), std::string::npos);
    EXPECT_EQ(r.header("Authorization").rfind("OAuth oauth_consumer_key=\"ck\",oauth_nonce=\"", 0), 0u);

    std::string body;
    client->lastResponseBody(body);
    EXPECT_EQ(body, "{\"screen_name\":\"zentok\"}");  // the gzip reply arrives decoded
    client->lastTransportError(text);
    EXPECT_EQ(text, "");
}

TEST_F(TwitterClientTest, PostStatusEncodesAndSignsAwkwardText) {
    const std::string status = "a b&c=d+e~f%g \xc3\xbc \xe2\x9c\x93 100%";
    ASSERT_TRUE(client->postStatus(status, ""));
    PeerRequest r = lastSigned();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/1.1/statuses/update.json");
    EXPECT_EQ(r.body, "status=a%20b%26c%3Dd%2Be~f%25g%20%C3%BC%20%E2%9C%93%20100%25");
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.status, 200);

    ASSERT_TRUE(client->postStatus("reply", "42"));
    EXPECT_EQ(lastSigned().body, "status=reply&in_reply_to_status_id=42");

    // A long status is sent whole, whatever its length (a signature base
    // string far beyond one HMAC block).
    std::string longText;
    for (int i = 0; i < 1500; ++i) longText += "\xc3\xbc";
    ASSERT_TRUE(client->postStatus(longText, ""));
    EXPECT_EQ(lastSigned().body.size(), std::string("status=").size() + 3 * longText.size());

    size_t before = requestCount();
    EXPECT_FALSE(client->postStatus("", ""));
    EXPECT_EQ(requestCount(), before);
}

TEST_F(TwitterClientTest, EndpointSample) {
    struct Case {
        bool (*call)(TwitterClient&);
        const char* method;
        const char* path;
        const char* query;
        const char* body;
    };
    const std::vector<Case> cases = {
        {[](TwitterClient& c) { return c.search("zentok", "5"); }, "GET", "/1.1/search/tweets.json",
         "q=zentok&count=5", ""},
        {[](TwitterClient& c) { return c.statusShow("123"); }, "GET", "/1.1/statuses/show/123.json", "", ""},
        {[](TwitterClient& c) { return c.statusDestroy("123"); }, "DELETE", "/1.1/statuses/destroy/123.json",
         "", ""},
        {[](TwitterClient& c) { return c.retweet("77"); }, "POST", "/1.1/statuses/retweet/77.json", "",
         "text=dummy"},
        {[](TwitterClient& c) { return c.timelineHome("5"); }, "GET", "/1.1/statuses/home_timeline.json",
         "since_id=5", ""},
        {[](TwitterClient& c) { return c.timelineUser(true, true, 500, "bob", false); }, "GET",
         "/1.1/statuses/user_timeline.json", "screen_name=bob&count=200&include_rts=true&trim_user=true", ""},
        {[](TwitterClient& c) { return c.timelineUser(false, false, 20, "", false); }, "GET",
         "/1.1/statuses/user_timeline.json", "&count=20", ""},
        {[](TwitterClient& c) { return c.userShow("12", true); }, "GET", "/1.1/users/show.json", "user_id=12",
         ""},
        {[](TwitterClient& c) { return c.friendsIds("", false, "-1"); }, "GET", "/1.1/friends/ids.json",
         "cursor=-1", ""},
        {[](TwitterClient& c) { return c.followersIds("bob", false, "7"); }, "GET", "/1.1/followers/ids.json",
         "screen_name=bob&cursor=7", ""},
        {[](TwitterClient& c) { return c.directMessageSend("bob", "hi there", false); }, "POST",
         "/1.1/direct_messages/new.json", "screen_name=bob", "text=hi%20there"},
        {[](TwitterClient& c) { return c.friendshipShow("9", true); }, "GET", "/1.1/friendships/show.json",
         "target_id=9", ""},
        {[](TwitterClient& c) { return c.friendshipDestroy("bob", false); }, "DELETE",
         "/1.1/friendships/destroy.json", "screen_name=bob", ""},
        {[](TwitterClient& c) { return c.blocksList(true, false, "3"); }, "GET", "/1.1/blocks/list.json",
         "include_entities=true&cursor=3", ""},
        {[](TwitterClient& c) { return c.blocksIds(true, ""); }, "GET", "/1.1/blocks/ids.json",
         "stringify_ids=true", ""},
        {[](TwitterClient& c) { return c.savedSearchCreate("plc alarm"); }, "POST",
         "/1.1/saved_searches/create.json", "", "query=plc%20alarm"},
        {[](TwitterClient& c) { return c.trendsAvailable(); }, "GET", "/1.1/trends/available.json", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(c.call(*client));
        PeerRequest r = lastSigned();
        EXPECT_EQ(r.method, c.method);
        EXPECT_EQ(r.path, c.path);
        EXPECT_EQ(r.query, c.query);
        EXPECT_EQ(r.body, c.body);
    }

    // At most 100 users are looked up, joined with an encoded ",".
    std::vector<std::string> users;
    for (int i = 0; i < 150; ++i) users.push_back(std::to_string(i));
    ASSERT_TRUE(client->lookupUsers(users, true));
    PeerRequest r = lastSigned();
    EXPECT_EQ(r.path, "/1.1/users/lookup.json");
    EXPECT_EQ(r.body.rfind("user_id=0%2C1%2C2%2C", 0), 0u);
    EXPECT_EQ(r.body.substr(r.body.size() - 10), "%2C98%2C99");

    // Required texts missing: no request at all.
    size_t before = requestCount();
    EXPECT_FALSE(client->statusShow(""));
    EXPECT_FALSE(client->statusDestroy(""));
    EXPECT_FALSE(client->userShow("", false));
    EXPECT_FALSE(client->lookupUsers({}, false));
    EXPECT_FALSE(client->directMessageSend("bob", "", false));
    EXPECT_FALSE(client->search("", "1"));
    EXPECT_EQ(requestCount(), before);
}

TEST_F(TwitterClientTest, MethodOfADeleteDoesNotStick) {
    ASSERT_TRUE(client->statusDestroy("5"));
    EXPECT_EQ(lastSigned().method, "DELETE");
    ASSERT_TRUE(client->verifyCredentials());
    EXPECT_EQ(lastSigned().method, "GET");
    ASSERT_TRUE(client->favoriteDestroy("6"));
    EXPECT_EQ(lastSigned().method, "DELETE");
    ASSERT_TRUE(client->postStatus("after delete", ""));
    PeerRequest r = lastSigned();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.body, "status=after%20delete");
}

TEST_F(TwitterClientTest, RefusedStatusStillCountsAsSent) {
    ASSERT_TRUE(client->postStatus("REFUSE me", ""));
    PeerRequest r = peer->last();
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.status, 403);
    std::string body;
    client->lastResponseBody(body);
    EXPECT_NE(body.find("duplicate"), std::string::npos);

    // Wrong credentials are refused by the service, yet the request went through.
    client->signer().setAccessTokenSecret("wrong");
    EXPECT_TRUE(client->verifyCredentials());
    EXPECT_FALSE(peer->last().valid);
    EXPECT_EQ(peer->last().status, 401);
}

TEST_F(TwitterClientTest, TransportFailureGivesLibcurlText) {
    TwitterClient::setApiBaseForTesting("127.0.0.1:" + std::to_string(freeLoopbackPort()));
    EXPECT_FALSE(client->postStatus("lost", ""));
    std::string text;
    client->lastTransportError(text);
    EXPECT_NE(text.find("127.0.0.1"), std::string::npos) << text;

    // An empty status leaves the error text of the previous request.
    EXPECT_FALSE(client->postStatus("", ""));
    std::string again;
    client->lastTransportError(again);
    EXPECT_EQ(again, text);

    // The next good request clears it.
    peer->useForClients();
    EXPECT_TRUE(client->verifyCredentials());
    client->lastTransportError(text);
    EXPECT_EQ(text, "");
}

TEST_F(TwitterClientTest, OversizedReplyIsRefusedAndTheClientGoesOn) {
    // The peer answers trends/weekly with 9 MiB, more than a reply may hold.
    EXPECT_FALSE(client->trendsWeekly());
    std::string text;
    client->lastTransportError(text);
    EXPECT_NE(text, "");
    std::string body;
    client->lastResponseBody(body);
    EXPECT_LE(body.size(), size_t(8) << 20);

    ASSERT_TRUE(client->verifyCredentials());
    client->lastResponseBody(body);
    EXPECT_EQ(body, "{\"screen_name\":\"zentok\"}");
}

TEST_F(TwitterClientTest, StalledServiceRunsIntoTheTimeLimit) {
    // A listener that takes the connection and never answers the TLS hello.
    int port = 0;
    int listener = testsupport::listenOnLoopback(4, &port);
    ASSERT_GE(listener, 0);
    TwitterClient::setApiBaseForTesting("127.0.0.1:" + std::to_string(port));
    TwitterClient::setRequestTimeoutForTesting(1);

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->postStatus("stalled", ""));
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(listener);
    EXPECT_LT(seconds, 10.0);
    std::string text;
    client->lastTransportError(text);
    EXPECT_NE(text.find("timed out"), std::string::npos) << text;
}

TEST_F(TwitterClientTest, ServerCertificateIsVerified) {
    // Without the test CA the peer's self-made certificate is not trusted.
    TwitterClient::setCaFileForTesting("/etc/ssl/certs/ca-certificates.crt");
    TwitterClient untrusting;
    untrusting.signer() = client->signer();
    size_t before = requestCount();
    EXPECT_FALSE(untrusting.verifyCredentials());
    std::string text;
    untrusting.lastTransportError(text);
    EXPECT_NE(text.find("certificate"), std::string::npos) << text;
    EXPECT_EQ(requestCount(), before);
}

TEST_F(TwitterClientTest, ProxyFromEnvironmentIsIgnoredAndSetterApplies) {
    const std::string deadProxy = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
    setenv("https_proxy", deadProxy.c_str(), 1);
    setenv("HTTPS_PROXY", deadProxy.c_str(), 1);
    ASSERT_TRUE(client->verifyCredentials());
    lastSigned();

    // A proxy set on the client is put on the handle at the next request.
    client->setProxyAddress("127.0.0.1");
    client->setProxyPort(std::to_string(freeLoopbackPort()));
    client->setProxyPort("");  // ignored
    std::string port;
    client->getProxyPort(port);
    EXPECT_FALSE(port.empty());
    EXPECT_FALSE(client->verifyCredentials());
}

TEST_F(TwitterClientTest, CopyCarriesCredentialsAndSettings) {
    client->setAccountUser("operator");
    client->setAccountPassword("pw");
    client->signer().setScreenName("zentok");
    TwitterClient copy(*client);
    std::string value;
    copy.getAccountUser(value);
    EXPECT_EQ(value, "operator");
    copy.getAccountPassword(value);
    EXPECT_EQ(value, "pw");
    copy.signer().getScreenName(value);
    EXPECT_EQ(value, "zentok");
    ASSERT_TRUE(copy.postStatus("from the copy", ""));
    PeerRequest r = lastSigned();
    EXPECT_EQ(r.body, "status=from%20the%20copy");
    EXPECT_EQ(r.header("Authorization").find("Basic"), std::string::npos);
}

TEST_F(TwitterClientTest, AuthorizationFlow) {
    client->signer().setAccessToken("");
    client->signer().setAccessTokenSecret("");
    client->setAccountUser("operator");
    client->setAccountPassword("pw");
    std::string authorizeUrl;
    ASSERT_TRUE(client->requestToken(authorizeUrl));
    EXPECT_EQ(authorizeUrl, "https://" + peer->hostPort() + "/oauth/authorize?oauth_token=RT42");
    PeerRequest r = peer->last();
    EXPECT_EQ(r.path, "/oauth/request_token");
    EXPECT_EQ(r.header("Authorization").find("oauth_token="), std::string::npos);

    ASSERT_TRUE(client->fetchPin(authorizeUrl));
    std::string value;
    client->signer().getVerifierPin(value);
    EXPECT_EQ(value, "4711");
    r = peer->last();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.body,
              "oauth_token=RT42&authenticity_token=AUTH123&session[username_or_email]=operator&session["
              "password]=pw");

    ASSERT_TRUE(client->accessToken());
    r = peer->last();
    EXPECT_EQ(r.path, "/oauth/access_token");
    EXPECT_NE(r.header("Authorization").find("oauth_token=\"RT42\""), std::string::npos);
    EXPECT_NE(r.header("Authorization").find("oauth_verifier=\"4711\""), std::string::npos);
    client->signer().getAccessToken(value);
    EXPECT_EQ(value, "AT7");
    client->signer().getAccessTokenSecret(value);
    EXPECT_EQ(value, "AS7");
    client->signer().getScreenName(value);
    EXPECT_EQ(value, "zentok");
}
