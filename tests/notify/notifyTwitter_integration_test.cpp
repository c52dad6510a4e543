// The Twitter channel against the local HTTPS peer: credential check at
// construction, status texts, console lines, retries, and two receivers
// through the dispatch step. The requests run on the sender, so each step
// waits for it; a silent API holds neither the load nor the dispatch.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Outbox.h"
#include "notify/Sender.h"
#include "notify/channels/TwitterChannel.h"
#include "support/TestSupport.h"
#include "support/TwitterPeer.h"
#include "support/WorkingDirectory.h"

using namespace testsupport;

namespace {

const char* const kTokenSecret = "tokenSecret9";

class TwitterChannelTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        peer = new TwitterPeer();
        peerStarted = peer->start(kTwitterConsumerSecret, kTokenSecret);
    }
    static void TearDownTestSuite() {
        delete peer;
        peer = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(peerStarted) << peer->log();
        ASSERT_TRUE(cwd.enter(dir.path()));
        peer->useForClients();
        node.address = "DB1.DBW4";
    }
    void TearDown() override {
        TwitterPeer::restoreClients();
        cwd.leave();
    }
    void writeKeys() {
        writeFile(dir.file("BrimselKeys.ini"), std::string("zentok;12-tok;") + kTokenSecret + "\n");
    }
    // A channel whose credential check at construction has ended.
    std::unique_ptr<TwitterChannel> channel(const char* rest) {
        std::string copy = rest ? rest : "";
        auto made = std::make_unique<TwitterChannel>(rest ? &copy[0] : nullptr);
        made->start();
        EXPECT_TRUE(waitForSender());
        return made;
    }
    // One notification through the sender; its outcome.
    bool sent(TwitterChannel& twitter, const char* text) {
        auto delivery = std::make_shared<Delivery>();
        bool handedOver = twitter.notify(withText(node, text), delivery);
        EXPECT_TRUE(waitForSender());
        return handedOver && delivery->delivered();
    }
    size_t requestCount() { return peer->requests().size(); }

    static TwitterPeer* peer;
    static bool peerStarted;
    TempDir dir;
    WorkingDirectory cwd;
    Notification node;
};

TwitterPeer* TwitterChannelTest::peer = nullptr;
bool TwitterChannelTest::peerStarted = false;

}  // namespace

TEST_F(TwitterChannelTest, DirectMessageToTarget) {
    writeKeys();
    size_t before = requestCount();
    testing::internal::CaptureStdout();
    auto twitter = channel(" @bob");
    EXPECT_TRUE(twitter->isReady());
    // Construction checked the credentials once, signed with the built-in
    // consumer key and the token of the keys file.
    ASSERT_EQ(requestCount(), before + 1);
    PeerRequest check = peer->last();
    EXPECT_EQ(check.path, "/1.1/account/verify_credentials.json");
    EXPECT_TRUE(check.valid);
    EXPECT_NE(
        check.header("Authorization").find(std::string("oauth_consumer_key=\"") + kTwitterConsumerKey + "\""),
        std::string::npos);
    EXPECT_NE(check.header("Authorization").find("oauth_token=\"12-tok\""), std::string::npos);

    EXPECT_TRUE(sent(*twitter, "Alarm"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "notifyTwitter::notify, to @bob, node DB1.DBW4, text 'Alarm'\n");
    PeerRequest post = peer->last();
    EXPECT_TRUE(post.valid);
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.body, "status=d%20%40bob%20Alarm");
}

TEST_F(TwitterChannelTest, PublicStatusAndEmptyText) {
    writeKeys();
    testing::internal::CaptureStdout();
    auto twitter = channel(nullptr);
    ASSERT_TRUE(twitter->isReady());
    EXPECT_TRUE(sent(*twitter, "Level 120 & rising: 5% over"));
    PeerRequest post = peer->last();
    EXPECT_TRUE(post.valid);
    EXPECT_EQ(post.body, "status=Level%20120%20%26%20rising%3A%205%25%20over");

    // An empty text is not posted; the error line shows the (empty) error of
    // the previous request.
    size_t before = requestCount();
    EXPECT_FALSE(twitter->notify(withText(node, "")));
    EXPECT_EQ(requestCount(), before);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "notifyTwitter::notify, to <public>, node DB1.DBW4, text 'Level 120 & rising: 5% over'\n"
              "notifyTwitter::notify, to <public>, node DB1.DBW4, text ''\n"
              "notifyTwitter::notify err ''\n");

    // "!!!" names no account: public as well.
    auto punctuation = channel("!!!");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(sent(*punctuation, "x"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "notifyTwitter::notify, to <public>, node DB1.DBW4, text 'x'\n");
    EXPECT_EQ(peer->last().body, "status=x");
}

TEST_F(TwitterChannelTest, ServiceDownIsRetriedAtEachNotification) {
    writeKeys();
    TwitterClient::setApiBaseForTesting("127.0.0.1:" + std::to_string(freeLoopbackPort()));
    testing::internal::CaptureStdout();
    auto twitter = channel("bob");
    EXPECT_FALSE(twitter->isReady());
    EXPECT_FALSE(sent(*twitter, "first"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countOf(out, "notifyTwitter::initTwitter, err '"), 2) << out;
    EXPECT_NE(out.find("127.0.0.1"), std::string::npos) << out;
    EXPECT_EQ(out.find("notifyTwitter::notify"), std::string::npos) << out;

    // The service is back: the next notification checks again and posts.
    peer->useForClients();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(sent(*twitter, "second"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "notifyTwitter::notify, to @bob, node DB1.DBW4, text 'second'\n");
    EXPECT_TRUE(twitter->isReady());
    EXPECT_EQ(peer->last().body, "status=d%20%40bob%20second");
}

TEST_F(TwitterChannelTest, PostFailureIsReportedAndKeysFileIsPickedUpLater) {
    testing::internal::CaptureStdout();
    size_t before = requestCount();
    auto twitter = channel(nullptr);  // no keys file yet: silent, no request
    EXPECT_FALSE(twitter->notify(withText(node, "lost")));
    EXPECT_EQ(requestCount(), before);

    writeKeys();
    EXPECT_TRUE(sent(*twitter, "found"));
    EXPECT_EQ(peer->last().body, "status=found");

    // Once ready, a failed post is reported and the channel stays ready.
    TwitterClient::setApiBaseForTesting("127.0.0.1:" + std::to_string(freeLoopbackPort()));
    EXPECT_FALSE(sent(*twitter, "down"));
    EXPECT_TRUE(twitter->isReady());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("notifyTwitter::initTwitter"), std::string::npos) << out;
    EXPECT_NE(out.find("notifyTwitter::notify, to <public>, node DB1.DBW4, text 'down'\n"
                       "notifyTwitter::notify err '"),
              std::string::npos)
        << out;
}

TEST_F(TwitterChannelTest, RefusedCredentialsStillMakeTheChannelReady) {
    writeFile(dir.file("BrimselKeys.ini"), "zentok;12-tok;wrongSecret\n");
    testing::internal::CaptureStdout();
    auto twitter = channel(nullptr);
    EXPECT_TRUE(twitter->isReady());
    EXPECT_TRUE(sent(*twitter, "unseen"));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(peer->last().valid);
    EXPECT_EQ(peer->last().status, 401);
}

TEST_F(TwitterChannelTest, TwoReceiversPostInLinkOrder) {
    writeKeys();
    testing::internal::CaptureStdout();
    {
        Coupler coupler;
        coupler.sourceCount = 1;
        Node& fired = coupler.nodes[coupler.nodeCount++];
        fired.source = &coupler.sources[0];
        copyText(fired.address, "M10.0");
        copyText(fired.message, "Pump stopped");
        fired.dir = coupler.findDir("ops", true);
        fired.active = true;
        char first[] = "twitter;carol";
        char second[] = "twitter";
        coupler.receivers[1].setAddress(first);
        coupler.receivers[0].setAddress(second);
        coupler.receiverCount = 2;
        for (Receiver& receiver : coupler.receivers) receiver.start();
        coupler.findLink(&coupler.receivers[1], fired.dir, true);
        coupler.findLink(&coupler.receivers[0], fired.dir, true);
        coupler.prepareTemplates();
        ASSERT_TRUE(waitForSender());  // the two credential checks
        size_t before = requestCount();
        coupler.dispatchNotifications();
        ASSERT_TRUE(waitForSender());
        auto all = peer->requests();
        ASSERT_EQ(all.size(), before + 2);
        EXPECT_EQ(all[before].body, "status=d%20%40carol%20Pump%20stopped");
        EXPECT_EQ(all[before + 1].body, "status=Pump%20stopped");
        EXPECT_TRUE(all[before].valid && all[before + 1].valid);
        EXPECT_FALSE(all[before].replay || all[before + 1].replay);
        EXPECT_TRUE(fired.sent);
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(out.find("to @carol"), out.find("to <public>")) << out;
}

TEST_F(TwitterChannelTest, ASilentServiceHoldsNeitherTheLoadNorTheDispatch) {
    writeKeys();
    SilentListener silent;
    ASSERT_TRUE(silent.ok());
    TwitterClient::setApiBaseForTesting("127.0.0.1:" + std::to_string(silent.port()));
    TwitterClient::setRequestTimeoutForTesting(30);
    testing::internal::CaptureStdout();
    {
        Coupler coupler;
        coupler.sourceCount = 1;
        Node& fired = coupler.nodes[coupler.nodeCount++];
        fired.source = &coupler.sources[0];
        copyText(fired.address, "M10.0");
        copyText(fired.message, "Pump stopped");
        fired.dir = coupler.findDir("ops", true);
        fired.active = true;
        char line[] = "twitter;carol";
        int64_t started = steadyMs();
        coupler.receivers[0].setAddress(line);
        coupler.receivers[0].start();  // the credential check
        coupler.receiverCount = 1;
        coupler.findLink(&coupler.receivers[0], fired.dir, true);
        coupler.prepareTemplates();
        coupler.dispatchNotifications();
        // Both returned long before the request's 30 s limit; the check and
        // the post still wait for the silent service.
        EXPECT_LT(steadyMs() - started, 10000);
        EXPECT_EQ(sender().pending(), 2);
        EXPECT_TRUE(fired.sent);
        EXPECT_TRUE(coupler.notified);
        sender().shutdown();  // abandons both; the outbox keeps the post
        ASSERT_EQ(coupler.outbox->entries().size(), 1u);
        EXPECT_FALSE(coupler.outbox->entries()[0].inFlight->settled());
    }
    testing::internal::GetCapturedStdout();
    TwitterClient::setRequestTimeoutForTesting(0);
}
