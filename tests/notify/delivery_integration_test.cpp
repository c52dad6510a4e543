// The outcome each channel settles for one hand-over, one delivery and one
// failure per channel: file, mail (aiosmtpd), server manager (PHP) and
// Twitter (the local HTTPS peer).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/Text.h"
#include "cycle/Coupler.h"
#include "notify/channels/FileChannel.h"
#include "notify/channels/MailChannel.h"
#include "notify/channels/SrvMgrChannel.h"
#include "notify/channels/TwitterChannel.h"
#include "support/Peers.h"
#include "support/TestSupport.h"
#include "support/TestUplinks.h"
#include "support/TwitterPeer.h"
#include "support/WorkingDirectory.h"

using namespace testsupport;

namespace {

using State = Delivery::State;

// One hand-over as a caller makes it: the senders are waited for, and a false
// result, which may leave the delivery open, counts as a failure.
State handOver(Notifier& channel, Notification notification, const char* text) {
    auto delivery = std::make_shared<Delivery>();
    notification.text = text;
    bool accepted = channel.notify(notification, delivery);
    testsupport::waitForSender();
    if (!accepted) {
        EXPECT_FALSE(delivery->delivered()) << text;
        delivery->settle(false);
    }
    return delivery->state();
}

std::unique_ptr<Notifier> make(const std::string& kind, std::string rest) {
    if (kind == "file") return std::make_unique<FileChannel>(&rest[0]);
    if (kind == "mail") return std::make_unique<MailChannel>(&rest[0], uplinksHandle());
    return std::make_unique<TwitterChannel>(rest.empty() ? nullptr : &rest[0]);
}

}  // namespace

TEST(ChannelDelivery, EachChannelSettlesDeliveredOrFailed) {
    TempDir dir;
    clearUplinks();
    Notification node;
    node.sourceName = "plantA";
    node.address = "400001";

    // File: the whole line written, or not.
    EXPECT_EQ(handOver(*make("file", dir.file("alarms.csv")), node, "file ok"), State::Delivered);
    EXPECT_EQ(handOver(*make("file", dir.file("missing/alarms.csv")), node, "file lost"), State::Failed);

    // Mail: libcurl's result of the transfer.
    PythonPeer smtp("smtp/smtp_peer.py", {"--outdir", dir.path()}, 60);
    ASSERT_TRUE(smtp.ready()) << smtp.log();
    copyText(uplinks().smtpFrom, "zentok@plant.example");
    copyText(uplinks().smtpUrl, ("smtp://127.0.0.1:" + std::to_string(smtp.port())).c_str());
    EXPECT_EQ(handOver(*make("mail", "ops@example.org"), node, "mail ok"), State::Delivered);
    copyText(uplinks().smtpUrl, ("smtp://127.0.0.1:" + std::to_string(freeLoopbackPort())).c_str());
    EXPECT_EQ(handOver(*make("mail", "ops@example.org"), node, "mail lost"), State::Failed);

    // Server manager: a 2xx status; a redirect is a failure.
    PhpServer php(kPollApiRecorder);
    ASSERT_TRUE(php.started()) << php.log();
    SrvMgrChannel manager(uplinksHandle());
    const std::string base = php.base();
    copyText(uplinks().srvmgrHost, base.c_str());
    EXPECT_EQ(handOver(manager, node, "post ok"), State::Delivered);
    copyText(uplinks().srvmgrHost, (base + "/moved").c_str());
    EXPECT_EQ(handOver(manager, node, "post lost"), State::Failed);

    // Twitter: any reply, even a refusal, is delivered; no reply is a failure.
    WorkingDirectory keysBeside(dir.path());
    ASSERT_TRUE(keysBeside.entered());
    writeFile(dir.file("BrimselKeys.ini"), "zentok;12-tok;tokenSecret9\n");
    auto twitterPeer = std::make_unique<TwitterPeer>();
    bool twitterUp = twitterPeer->start(kTwitterConsumerSecret, "tokenSecret9");
    twitterPeer->useForClients();
    auto twitter = make("twitter", "");
    EXPECT_TRUE(twitterUp);
    EXPECT_EQ(handOver(*twitter, node, "REFUSE this status"), State::Delivered);
    twitterPeer.reset();
    EXPECT_EQ(handOver(*twitter, node, "tweet lost"), State::Failed);

    TwitterPeer::restoreClients();
    clearUplinks();
}
