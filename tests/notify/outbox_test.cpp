// The outbox: its file form, the queue that never holds a firing twice, and
// the retry schedule with its end.
#include "notify/Outbox.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Coupler.h"
#include "core/Text.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

namespace {

// A channel whose outcome the test decides; it counts its hand-overs.
class ScriptedChannel : public Notifier {
  public:
    explicit ScriptedChannel(bool* succeed, int* calls) : succeed_(succeed), calls_(calls) {}
    bool notify(const Node&, const char*, const DeliveryHandle& delivery) override {
        ++*calls_;
        settle(delivery, *succeed_);
        return *succeed_;
    }

  private:
    bool* succeed_;
    int* calls_;
};

class OutboxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        setClockForTesting([this] { return now_; });
        coupler_.sourceCount = 1;
        copyText(coupler_.sources[0].name, "plant");
        Node& node = coupler_.nodes[coupler_.nodeCount++];
        node.source = &coupler_.sources[0];
        copyText(node.address, "400001");
        copyText(node.message, "Level high");
        node.dir = coupler_.findDir("alarm", true);
        for (int i = 0; i < 2; ++i) {
            Receiver& receiver = coupler_.receivers[coupler_.receiverCount++];
            copyText(receiver.name, i == 0 ? "log" : "ops");
            receiver.notifier = std::make_unique<ScriptedChannel>(&succeed_[i], &calls_[i]);
            coupler_.findLink(&receiver, node.dir, true);
        }
    }
    void TearDown() override { setClockForTesting(nullptr); }

    void fire() {
        Node& node = coupler_.nodes[0];
        node.active = true;
        node.sent = false;
        node.triggerTime = now_;
    }

    std::string dispatch() {
        return testsupport::captured([this] { coupler_.dispatchNotifications(); });
    }

    int64_t now_ = 1772434800;
    bool succeed_[2] = {true, true};
    int calls_[2] = {0, 0};
    Coupler coupler_;
};

TEST(OutboxFile, RecordsRoundTripAndDamagedOnesAreSkippedByLine) {
    OutboxEntry entry;
    entry.receiver = "ops \"night\"";
    entry.source = "plant;A";
    entry.address = "400001";
    entry.triggerTime = 1772434800;
    entry.text = "Level \"high\";\nsecond line\r\n";
    entry.attempts = 3;
    entry.nextAttempt = 1772434860;
    entry.value = 120;
    entry.receiverOccurrence = 1;
    std::string text = formatOutbox({entry, entry});
    std::vector<int> damaged;
    auto back = parseOutbox(text, &damaged);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_TRUE(damaged.empty());
    EXPECT_EQ(back[1].receiver, entry.receiver);
    EXPECT_EQ(back[1].source, entry.source);
    EXPECT_EQ(back[1].text, entry.text);
    EXPECT_EQ(back[1].triggerTime, entry.triggerTime);
    EXPECT_EQ(back[1].nextAttempt, entry.nextAttempt);
    EXPECT_EQ(back[1].attempts, 3);
    EXPECT_EQ(back[1].value, 120);
    EXPECT_EQ(back[1].receiverOccurrence, 1);
    EXPECT_EQ(formatOutbox(back), text);

    // The good record takes lines 1 to 3 (its text holds two line breaks); line 4
    // has too few fields, line 5 a count that is no number, line 6 opens a
    // quote it never closes.
    std::string good = formatOutbox({back[0]});
    std::string broken = good + "\"ops\";\"plant\"\n\"ops\";\"p\";\"1\";;\"t\";x;;0;0\n\"ops\";\"unclosed\n";
    damaged.clear();
    EXPECT_EQ(parseOutbox(broken, &damaged).size(), 1u);
    EXPECT_EQ(damaged, (std::vector<int>{4, 5, 6}));

    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("zentok_outbox.csv"), broken);
    Outbox box(dir.file("zentok_outbox.csv"));
    std::string out = testsupport::captured([&] { box.load(); });
    EXPECT_EQ(box.entries().size(), 1u);
    EXPECT_NE(out.find("zentok_outbox.csv', line 5 damaged: skipped"), std::string::npos) << out;
}

TEST_F(OutboxTest, WithoutRetriesEachEntryGetsOneAttemptWhateverItsOutcome) {
    succeed_[1] = false;
    fire();
    dispatch();
    EXPECT_EQ(calls_[0], 1);
    EXPECT_EQ(calls_[1], 1);
    EXPECT_TRUE(coupler_.notified);
    EXPECT_TRUE(coupler_.outbox->entries().empty());
    now_ += 60;
    dispatch();
    EXPECT_EQ(calls_[1], 1);
}

TEST_F(OutboxTest, FailedEntriesAreTriedAgainDoublingUntilTheyAreTooOld) {
    coupler_.retrySeconds = 100;
    succeed_[1] = false;
    fire();
    std::string out = dispatch();
    EXPECT_NE(out.find("receiver ops, source plant, node 400001: retry in 10 s"), std::string::npos) << out;
    ASSERT_EQ(coupler_.outbox->entries().size(), 1u);  // the delivered one has left

    now_ += 9;  // not due yet
    dispatch();
    EXPECT_EQ(calls_[1], 1);
    now_ += 1;
    out = dispatch();
    EXPECT_EQ(calls_[1], 2);
    EXPECT_NE(out.find("retry in 20 s"), std::string::npos) << out;
    EXPECT_FALSE(coupler_.notified) << "a retry is no new notification";

    now_ += 90;  // 100 s after the firing: the third failure gives up
    out = dispatch();
    EXPECT_EQ(calls_[1], 3);
    EXPECT_NE(out.find("receiver ops, source plant, node 400001: given up after 3 attempts"),
              std::string::npos)
        << out;
    EXPECT_TRUE(coupler_.outbox->entries().empty());

    // A retry that succeeds leaves the outbox.
    fire();
    dispatch();
    succeed_[1] = true;
    now_ += 10;
    dispatch();
    EXPECT_TRUE(coupler_.outbox->entries().empty());
    EXPECT_EQ(calls_[1], 5);
}

TEST_F(OutboxTest, APendingEntryStandsWhenItsNodeFiresAgainAndGoneReceiversAreDropped) {
    // As after a crash between the outbox write and the states write: the
    // restarted program finds the node firing anew.
    auto box = std::make_shared<Outbox>();
    OutboxEntry pending;
    pending.receiver = "OPS";  // names match whatever their case
    pending.source = "plant";
    pending.address = "400001";
    pending.triggerTime = now_ - 30;
    pending.text = "Level high (before the crash)";
    pending.carriedOver = true;  // as load() marks what an earlier run left
    box->add(pending);
    pending.receiver = "gone";
    box->add(pending);
    std::string out = testsupport::captured([&] { coupler_.adoptOutbox(box); });
    EXPECT_NE(out.find("receiver gone no longer configured"), std::string::npos) << out;
    ASSERT_EQ(box->entries().size(), 1u);

    fire();
    coupler_.queueNotifications();
    EXPECT_EQ(box->entries().size(), 2u);  // the pending one and a new one for "log" only
    EXPECT_EQ(coupler_.nodes[0].triggerTime, now_ - 30);
    dispatch();
    EXPECT_EQ(calls_[0], 1);
    EXPECT_EQ(calls_[1], 1);
    EXPECT_TRUE(box->entries().empty());

    // An entry of this run still waiting (here: retried) absorbs no new firing.
    coupler_.retrySeconds = 600;
    succeed_[1] = false;
    now_ += 60;
    fire();
    dispatch();
    now_ += 1;
    fire();
    coupler_.queueNotifications();
    EXPECT_EQ(box->entries().size(), 3u);  // the waiting one, and the new firing for both receivers
}

}  // namespace
