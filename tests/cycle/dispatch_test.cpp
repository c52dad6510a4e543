// The channel factory of address lines and the dispatch step: order, once per
// firing, receivers without group, the default channel.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Outbox.h"
#include "notify/Notifier.h"
#include "notify/channels/FileChannel.h"
#include "notify/channels/MailChannel.h"
#include "notify/channels/SrvMgrChannel.h"
#include "notify/channels/TwitterChannel.h"
#include "notify/channels/WebhookChannel.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"
#include "support/WorkingDirectory.h"

namespace {

// Records every notification it gets and counts its own destruction.
class RecordingChannel : public Notifier {
  public:
    RecordingChannel(std::vector<std::string>* log, std::string tag, int* destroyed = nullptr)
        : log_(log), tag_(std::move(tag)), destroyed_(destroyed) {}
    ~RecordingChannel() override {
        if (destroyed_) ++*destroyed_;
    }
    bool notify(const Notification& notification, const DeliveryHandle&) override {
        log_->push_back(tag_ + "<" + notification.address + ":" + notification.text);
        last = notification;
        return false;
    }

    Notification last;

  private:
    std::vector<std::string>* log_;
    std::string tag_;
    int* destroyed_;
};

// Records the states it is told, as MQTT's retained topic shows them.
class StateChannel : public Notifier {
  public:
    explicit StateChannel(std::vector<std::string>* log) : log_(log) {}
    bool notify(const Notification&, const DeliveryHandle&) override { return false; }
    void tellState(const Notification& state) override {
        log_->push_back(state.address + ":" + state.state + ":" + state.quality);
    }

  private:
    std::vector<std::string>* log_;
};

// Refuses every hand-over and names when to try again, as a rate-limited
// service does.
class RateLimitedChannel : public Notifier {
  public:
    bool notify(const Notification&, const DeliveryHandle& delivery) override {
        delivery->setRetryAfterSeconds(45);
        delivery->settle(false);
        return true;
    }
};

// Settles each hand-over with the next scripted outcome (then success), as
// a receiver that is down for a while.
class ScriptedChannel : public Notifier {
  public:
    ScriptedChannel(std::vector<std::string>* log, std::vector<bool> outcomes)
        : log_(log), outcomes_(std::move(outcomes)) {}
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override {
        bool delivered = next_ < outcomes_.size() ? outcomes_[next_++] : true;
        log_->push_back(notification.state + " " + notification.text +
                        (notification.textShown ? " again" : "") + (delivered ? "" : " failed"));
        delivery->settle(delivered);
        return true;
    }

  private:
    std::vector<std::string>* log_;
    std::vector<bool> outcomes_;
    size_t next_ = 0;
};

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        coupler = std::make_unique<Coupler>();
        coupler->sourceCount = 1;
        copyText(coupler->sources[0].name, "plantA");
    }

    Node* addNode(const char* address, const char* message, const char* dir) {
        Node& node = coupler->nodes[coupler->nodeCount++];
        node.source = &coupler->sources[0];
        copyText(node.address, address);
        copyText(node.message, message);
        node.dir = dir ? coupler->findDir(dir, true) : nullptr;
        return &node;
    }

    Receiver* addReceiver(const char* name) {
        Receiver& receiver = coupler->receivers[coupler->receiverCount++];
        copyText(receiver.name, name);
        receiver.notifier = std::make_unique<RecordingChannel>(&log, name);
        return &receiver;
    }

    void link(Receiver* receiver, const char* dir) {
        coupler->findLink(receiver, coupler->findDir(dir, true), true);
    }

    static void fire(Node* node) {
        node->active = true;
        node->sent = false;
    }

    std::unique_ptr<Coupler> coupler;
    std::vector<std::string> log;
};

TEST_F(DispatchTest, NodesInTableOrderReceiversInLinkOrderOneExpansionEach) {
    Node* first = addNode("n1", "first {{*}}", "beta");
    Node* second = addNode("n2", "second {{n1}}", "alpha");
    first->value = 7;
    Receiver* r1 = addReceiver("r1");
    Receiver* r2 = addReceiver("r2");
    Receiver* r3 = addReceiver("r3");
    link(r2, "alpha");
    link(r1, "alpha");
    link(r3, "beta");
    link(r1, "beta");
    fire(first);
    fire(second);

    coupler->dispatchNotifications();
    EXPECT_EQ(log, (std::vector<std::string>{"r3<n1:first 7", "r1<n1:first 7", "r2<n2:second 7",
                                             "r1<n2:second 7"}));
    EXPECT_TRUE(coupler->notified);
    EXPECT_TRUE(first->sent && second->sent);

    // The same firing is not dispatched again, and notified is cleared.
    log.clear();
    coupler->dispatchNotifications();
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(coupler->notified);

    // A new firing (the trigger re-armed and fired again) goes out again.
    fire(second);
    coupler->dispatchNotifications();
    EXPECT_EQ(log, (std::vector<std::string>{"r2<n2:second 7", "r1<n2:second 7"}));
}

// A link lost or back is told once to the channels that show states; the
// node's state stays what it was.
TEST_F(DispatchTest, AStaleValueIsToldOnceWhenReadsStartAndStopFailing) {
    Node* node = addNode("n1", "high", "alpha");
    Receiver* r1 = addReceiver("r1");
    r1->notifier = std::make_unique<StateChannel>(&log);
    link(r1, "alpha");
    node->lastRead = 1796627750;
    node->readError = kReadFailed;
    coupler->dispatchNotifications();
    coupler->dispatchNotifications();
    node->readError = 0;
    coupler->dispatchNotifications();
    EXPECT_EQ(log, (std::vector<std::string>{"n1:cleared:stale", "n1:cleared:"}));
}

TEST_F(DispatchTest, TheChannelGetsTheFiringAsQueuedAndTheNodeAsConfigured) {
    copyText(coupler->sources[0].pass, "secret");
    Node* node = addNode("MW10", "hot", "alpha");
    node->info = 1;
    node->scaled = true;
    node->value = 12.5;
    node->triggerTime = 1796627750;
    Receiver* r1 = addReceiver("r1");
    auto* channel = static_cast<RecordingChannel*>(r1->notifier.get());
    link(r1, "alpha");
    fire(node);

    coupler->dispatchNotifications();
    const Notification& told = channel->last;
    EXPECT_EQ(told.sourceName, "plantA");
    EXPECT_EQ(told.sourcePassword, "secret");
    EXPECT_EQ(told.address, "MW10");
    EXPECT_EQ(told.value, 12.5);
    EXPECT_TRUE(told.keepsDecimals);
    EXPECT_EQ(told.kind, NotificationKind::Info);
    EXPECT_EQ(told.triggerTime, 1796627750);
    EXPECT_EQ(told.text, "hot");

    // An entry of a node this configuration lacks carries what it names.
    OutboxEntry left;
    left.receiver = "r1";
    left.source = "plantA";
    left.address = "MW20";
    left.value = 3;
    left.triggerTime = 1796627700;
    left.kind = AlarmNotice::Clear;
    left.decidedAt = 1796627740;
    left.text = "gone";
    coupler->outbox->add(left);
    coupler->dispatchNotifications();
    EXPECT_EQ(told.sourceName, "plantA");
    EXPECT_EQ(told.sourcePassword, "");
    EXPECT_EQ(told.address, "MW20");
    EXPECT_EQ(told.value, 3);
    EXPECT_FALSE(told.keepsDecimals);
    EXPECT_EQ(told.kind, NotificationKind::Message);
    EXPECT_EQ(told.triggerTime, 1796627700);
    EXPECT_EQ(told.decidedAt, 1796627740) << "a clear tells its own moment beside its episode's raise";
    EXPECT_EQ(told.text, "gone");
}

TEST_F(DispatchTest, NodesWithoutReceiversAreMarkedSentAndNeverSentLater) {
    Node* lonely = addNode("lonely", "x", "nobody");
    Node* groupless = addNode("groupless", "y", nullptr);
    Node* idle = addNode("idle", "z", "alpha");
    Receiver* r1 = addReceiver("r1");
    link(r1, "alpha");
    fire(lonely);
    fire(groupless);

    coupler->dispatchNotifications();
    EXPECT_TRUE(lonely->sent);
    EXPECT_TRUE(groupless->sent);
    EXPECT_FALSE(idle->sent);  // never fired
    EXPECT_FALSE(coupler->notified);

    // A receiver joining the group later does not get the old firing.
    link(r1, "nobody");
    coupler->dispatchNotifications();
    EXPECT_TRUE(log.empty());
}

TEST_F(DispatchTest, ARetryTimeTheServiceNamesSetsTheNextAttempt) {
    coupler->retrySeconds = 3600;
    Node* node = addNode("n1", "x", "alpha");
    Receiver* limited = addReceiver("r1");
    limited->notifier = std::make_unique<RateLimitedChannel>();
    link(limited, "alpha");
    fire(node);
    int64_t before = currentTime();
    node->triggerTime = before;
    std::string printed = testsupport::captured([&] { coupler->dispatchNotifications(); });
    ASSERT_EQ(coupler->outbox->entries().size(), 1u);
    int64_t next = coupler->outbox->entries()[0].nextAttempt;
    EXPECT_GE(next, before + 45);
    EXPECT_LE(next, currentTime() + 45);
    EXPECT_NE(printed.find("node n1: retry in 45 s"), std::string::npos) << printed;
}

TEST_F(DispatchTest, AddressLinesChooseTheChannel) {
    Receiver receiver;
    char fileLine[] = "FILE;logs\\a;b.csv";
    receiver.setAddress(fileLine);
    auto* file = dynamic_cast<FileChannel*>(receiver.notifier.get());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(receiver.channelKind, ChannelKind::File);
    EXPECT_STREQ(file->namePattern, "logs/a;b.csv");  // the whole rest, separators included

    char mailLine[] = "Mail;ops@example.org";
    receiver.setAddress(mailLine);
    EXPECT_NE(dynamic_cast<MailChannel*>(receiver.notifier.get()), nullptr);
    EXPECT_EQ(receiver.channelKind, ChannelKind::Mail);

    {
        // No keys file and no token: the Twitter channel does not go online.
        testsupport::TempDir elsewhere;
        testsupport::WorkingDirectory inside(elsewhere.path());
        ASSERT_TRUE(inside.entered());
        char twitterLine[] = "twitter;ops";
        receiver.setAddress(twitterLine);
        auto* twitter = dynamic_cast<TwitterChannel*>(receiver.notifier.get());
        ASSERT_NE(twitter, nullptr);
        EXPECT_STREQ(twitter->targetName(), "@ops");
    }

    char webhookLine[] = "WebHook;\"https://example.org/h;x\";more";
    receiver.setAddress(webhookLine);
    auto* webhook = dynamic_cast<WebhookChannel*>(receiver.notifier.get());
    ASSERT_NE(webhook, nullptr);
    EXPECT_EQ(webhook->url(), "https://example.org/h;x");

    char bareFile[] = "file";
    receiver.setAddress(bareFile);
    file = dynamic_cast<FileChannel*>(receiver.notifier.get());
    ASSERT_NE(file, nullptr);
    EXPECT_STREQ(file->namePattern, "");

    // Nothing behind the keyword keeps the channel.
    receiver.setAddress(nullptr);
    char empty[] = "";
    receiver.setAddress(empty);
    EXPECT_EQ(receiver.notifier.get(), file);
    EXPECT_EQ(receiver.channelKind, ChannelKind::File);

    // Any other name leaves no channel.
    char other[] = "pager;123";
    receiver.setAddress(other);
    EXPECT_EQ(receiver.notifier, nullptr);
    EXPECT_EQ(receiver.channelKind, ChannelKind::ServerManager);
}

TEST_F(DispatchTest, ASecondAddressLineDestroysTheFirstChannel) {
    int destroyed = 0;
    Receiver receiver;
    receiver.notifier = std::make_unique<RecordingChannel>(&log, "old", &destroyed);
    char line[] = "file;x.csv";
    receiver.setAddress(line);
    EXPECT_EQ(destroyed, 1);
    EXPECT_NE(dynamic_cast<FileChannel*>(receiver.notifier.get()), nullptr);
}

TEST_F(DispatchTest, AReceiverWithoutChannelGetsTheServerManagerChannelOnce) {
    // A closed loopback port: the post fails at once and is reported.
    std::string host = "http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort());
    copyText(coupler->uplinks->srvmgrHost, host.c_str());
    Node* node = addNode("n1", "hello", "alpha");
    Receiver& receiver = coupler->receivers[coupler->receiverCount++];
    char other[] = "unknown";
    receiver.setAddress(other);
    ASSERT_EQ(receiver.notifier, nullptr);
    link(&receiver, "alpha");
    fire(node);

    testing::internal::CaptureStdout();
    coupler->dispatchNotifications();
    Notifier* created = receiver.notifier.get();
    EXPECT_NE(dynamic_cast<SrvMgrChannel*>(created), nullptr);
    Notification again;
    again.sourceName = "plantA";
    again.address = node->address;
    again.text = "again";
    EXPECT_TRUE(receiver.notify(again));
    testsupport::waitForSender();
    EXPECT_EQ(receiver.notifier.get(), created);  // kept, not created anew
    std::fflush(stdout);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testsupport::countOf(output,
                                   "notifySrvMgr::notify, host " + host + ", source plantA, node n1, text '"),
              2);
    EXPECT_EQ(testsupport::countOf(output, "notifySrvMgr::post, err '"), 2) << output;
    EXPECT_TRUE(coupler->notified);
}

}  // namespace

TEST_F(DispatchTest, FloodGuardHoldsBackPastItsLimitAndSendsOneSummaryWhenTheWindowEnds) {
    Node* nodes[] = {addNode("400001", "tank {{*}}", "alarm"), addNode("400002", "pump {{*}}", "alarm")};
    Receiver* mail = addReceiver("mail");
    mail->floodMax = 2;
    mail->floodSeconds = 600;
    link(mail, "alarm");
    link(addReceiver("file"), "alarm");  // unguarded: gets every firing
    auto fireAll = [&](double value) {
        for (Node* node : nodes) {
            node->value = value;
            fire(node);
        }
        coupler->dispatchNotifications();
    };
    fireAll(1);
    fireAll(2);  // two more for the guarded receiver: held back
    setSteadyOffsetForTesting(599 * 1000);
    fireAll(3);  // still in the window
    EXPECT_EQ(log, (std::vector<std::string>{"mail<400001:tank 1", "file<400001:tank 1", "mail<400002:pump 1",
                                             "file<400002:pump 1", "file<400001:tank 2", "file<400002:pump 2",
                                             "file<400001:tank 3", "file<400002:pump 3"}));
    log.clear();
    setSteadyOffsetForTesting(601 * 1000);
    coupler->dispatchNotifications();
    setSteadyOffsetForTesting(0);
    EXPECT_EQ(log,
              (std::vector<std::string>{"mail<400001:4 further alarms: tank 2 / pump 2 / tank 3 / pump 3"}));
    EXPECT_TRUE(coupler->outbox->entries().empty());
}

// A receiver hears of one node's notices in the order they were decided,
// whatever each one's own back-off; what waits behind a notice given up goes
// with it. Another receiver is not held up.
TEST_F(DispatchTest, ANodesNoticesReachEachReceiverInTheOrderDecided) {
    struct Row {
        const char* what;
        std::vector<bool> raiseOutcomes;
        int retrySeconds;
        std::vector<std::string> heard;
    };
    const Row rows[] = {
        {"a retried raise goes before its clear",
         {false},
         3600,
         {"raised raise 150 failed", "raised raise 150 again", "cleared normal 0"}},
        {"a raise given up takes its clear along",
         {false, false},
         10,
         {"raised raise 150 failed", "raised raise 150 again failed"}},
        {"without retries each gets its one attempt",
         {false},
         0,
         {"raised raise 150 failed", "cleared normal 0"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        log.clear();
        coupler->retrySeconds = row.retrySeconds;
        Node* node = addNode("400001", "raise {{*}}", "alarm");
        node->alarm.enabled = true;
        copyText(node->alarm.normal, "normal {{*}}");
        Receiver* down = addReceiver("webhook");
        down->notifier = std::make_unique<ScriptedChannel>(&log, row.raiseOutcomes);
        link(down, "alarm");
        std::vector<std::string> other;
        Receiver* up = addReceiver("file");
        up->notifier = std::make_unique<ScriptedChannel>(&other, std::vector<bool>{});
        link(up, "alarm");

        node->value = 150;
        node->triggerTime = currentTime();
        fire(node);
        testsupport::captured([&] { coupler->dispatchNotifications(); });
        node->value = 0;
        node->active = false;
        node->alarmState.clearedEpisode = node->triggerTime;
        // Every retry falls due in turn; the clear's own first attempt is due at once.
        for (int second : {0, 11, 32, 73, 160}) {
            setSteadyOffsetForTesting(second * 1000);
            testsupport::captured([&] { coupler->dispatchNotifications(); });
        }
        setSteadyOffsetForTesting(0);
        EXPECT_EQ(log, row.heard);
        EXPECT_EQ(other, (std::vector<std::string>{"raised raise 150", "cleared normal 0"}));
        EXPECT_TRUE(coupler->outbox->entries().empty());
    }
}
