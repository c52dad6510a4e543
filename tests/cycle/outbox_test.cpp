// The outbox: its file form, the queue that never holds a firing twice, and
// the retry schedule with its end; what an earlier run left, and the clock.
#include "cycle/Outbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Metrics.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"
#include "trigger/Trigger.h"

namespace {

// A channel whose outcome the test decides; it counts its hand-overs.
class ScriptedChannel : public Notifier {
  public:
    explicit ScriptedChannel(bool* succeed, int* calls) : succeed_(succeed), calls_(calls) {}
    bool notify(const Notification&, const DeliveryHandle& delivery) override {
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
        setCondition(&node, "O:100");
        node.dir = coupler_.findDir("alarm", true);
        for (int i = 0; i < 2; ++i) {
            Receiver& receiver = coupler_.receivers[coupler_.receiverCount++];
            copyText(receiver.name, i == 0 ? "log" : "ops");
            receiver.addressLine = i == 0 ? "file;log.csv" : "mail;ops@example.org";
            receiver.notifier = std::make_unique<ScriptedChannel>(&succeed_[i], &calls_[i]);
            coupler_.findLink(&receiver, node.dir, true);
        }
    }
    void TearDown() override {
        setClockForTesting(nullptr);
        setSteadyOffsetForTesting(0);
    }

    // Lets time pass on both clocks.
    void advance(int64_t seconds) {
        now_ += seconds;
        steadyOffsetMs_ += seconds * 1000;
        setSteadyOffsetForTesting(steadyOffsetMs_);
    }

    // A read of the node, evaluated as the source worker does.
    void read(double value) {
        coupler_.nodes[0].value = value;
        evaluateTrigger(&coupler_.nodes[0], 0);
    }

    // The outbox as a start finds it, with one record left for "ops".
    std::shared_ptr<Outbox> leftByEarlierRun(const std::string& fired = "2026-03-02 06:59:30",
                                             const std::string& next = "") {
        testsupport::writeFile(dir_.file("zentok_outbox.csv"), "\"ops\";\"plant\";\"400001\";" + fired +
                                                                   ";\"Level 150\";1;" + next + ";150;0\n");
        auto box = std::make_shared<Outbox>(dir_.file("zentok_outbox.csv"));
        box->load();
        return box;
    }

    void fire() {
        Node& node = coupler_.nodes[0];
        node.active = true;
        node.sent = false;
        node.triggerTime = now_;
    }

    std::string dispatch() {
        return testsupport::captured([this] { coupler_.dispatchNotifications(); });
    }

    testsupport::TempDir dir_;
    int64_t now_ = 1772434800;  // 2026-03-02 07:00:00 UTC
    int64_t steadyOffsetMs_ = 0;
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
    entry.channel = channelFingerprint("mail;ops@example.org");
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
    EXPECT_EQ(back[1].channel, entry.channel);
    EXPECT_EQ(formatOutbox(back), text);

    // Records of older versions (no fingerprint, local time) load; counts no
    // run could reach are clamped, so counting on cannot overflow.
    back = parseOutbox("\"ops\";\"p\";\"1\";2026-03-02 08:00:00;\"t\";2147483648;;0;99999\n", &damaged);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].triggerTime, parseDateTime("2026-03-02 08:00:00"));
    EXPECT_EQ(back[0].attempts, kMaxOutboxAttempts);
    EXPECT_EQ(back[0].receiverOccurrence, kMaxReceivers);

    // The good record takes lines 1 to 3 (its text holds two line breaks); line 4
    // has too few fields, line 5 a count that is no number, line 6 a name
    // longer than any the program writes, line 7 a bad fingerprint, line 8
    // opens a quote it never closes.
    std::string good = formatOutbox({entry});
    std::string broken =
        good + "\"ops\";\"plant\"\n\"ops\";\"p\";\"1\";;\"t\";x;;0;0\n\"" + std::string(100, 'o') +
        "\";\"p\";\"1\";;\"t\";1;;0;0\n\"ops\";\"p\";\"1\";;\"t\";1;;0;0;xyz\n" + "\"ops\";\"unclosed\n";
    damaged.clear();
    EXPECT_EQ(parseOutbox(broken, &damaged).size(), 1u);
    EXPECT_EQ(damaged, (std::vector<int>{4, 5, 6, 7, 8}));

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

    advance(9);  // not due yet
    dispatch();
    EXPECT_EQ(calls_[1], 1);
    advance(1);
    out = dispatch();
    EXPECT_EQ(calls_[1], 2);
    EXPECT_NE(out.find("retry in 20 s"), std::string::npos) << out;
    EXPECT_FALSE(coupler_.notified) << "a retry is no new notification";

    advance(90);  // 100 s after the firing: the third failure gives up
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
    advance(10);
    dispatch();
    EXPECT_TRUE(coupler_.outbox->entries().empty());
    EXPECT_EQ(calls_[1], 5);
}

TEST_F(OutboxTest, RetriesFollowElapsedTimeWhateverTheWallClockDoes) {
    coupler_.retrySeconds = 100;
    succeed_[1] = false;
    fire();
    dispatch();
    now_ += 3600;  // the wall clock steps an hour ahead: neither due nor too old
    dispatch();
    EXPECT_EQ(calls_[1], 1);
    EXPECT_EQ(coupler_.outbox->entries().size(), 1u);
    now_ -= 7200;  // and back: 10 s later the retry comes all the same
    advance(10);
    dispatch();
    EXPECT_EQ(calls_[1], 2);

    // Stored with their offset, times of the hour the autumn change repeats read back as written.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    std::vector<OutboxEntry> repeated(2, coupler_.outbox->entries()[0]);
    repeated[0].triggerTime = 1792888200;  // 2026-10-25 02:30:00+02:00; an hour later, 02:30 again
    repeated[1].triggerTime = 1792888200 + 3600;
    std::string text = formatOutbox(repeated);
    EXPECT_NE(text.find("2026-10-25 02:30:00+02:00"), std::string::npos) << text;
    EXPECT_NE(text.find("2026-10-25 02:30:00+01:00"), std::string::npos) << text;
    auto back = parseOutbox(text, nullptr);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].triggerTime - back[0].triggerTime, 3600);
}

// A restart finds what the earlier run left: an entry may stand for the
// firing the states file missed, never for one after a re-arm.
TEST_F(OutboxTest, ACarriedOverEntryStandsOnlyForAFiringTheStatesFileMissed) {
    coupler_.retrySeconds = 600;
    Node& node = coupler_.nodes[0];
    coupler_.adoptOutbox(leftByEarlierRun());
    read(150);  // the crash came between the outbox and the states write
    coupler_.queueNotifications();
    EXPECT_EQ(coupler_.outbox->entries().size(), 2u);  // the one left for ops, a new one for log
    EXPECT_EQ(node.triggerTime, parseDateTime("2026-03-02 06:59:30"));

    // The states file recorded the firing (the node comes back fired), the
    // node read false first, or the states file read past the firing (the
    // node re-armed while the entry waited): its next firing is a
    // notification of its own.
    for (const char* how : {"recorded", "read false first", "re-armed"}) {
        Node fresh;
        fresh.source = node.source;
        fresh.dir = node.dir;
        node = fresh;
        copyText(node.address, "400001");
        setCondition(&node, "O:100");
        node.active = node.sent = std::string(how) == "recorded";
        coupler_.adoptOutbox(leftByEarlierRun());
        if (std::string(how) == "re-armed") {
            node.lastRead = coupler_.outbox->entries()[0].triggerTime + 30;
            coupler_.endCarryOverOfRecordedFirings();
        } else {
            read(0);
            coupler_.queueNotifications();
        }
        read(170);
        coupler_.queueNotifications();
        EXPECT_EQ(coupler_.outbox->entries().size(), 3u) << how;
    }
}

// A crash between a clear's, a reminder's or an escalation's outbox write
// and the states write: the states file still shows the episode raised, with
// no reminder and not escalated, so the first read decides the notice again;
// the entry left stands for it.
TEST_F(OutboxTest, ANoticeTheStatesFileMissedIsNotQueuedAgainAtTheRestart) {
    struct Row {
        const char* kind;
        double value;
        size_t entries;  // the one left for ops, and log's own where the notice reaches log
    };
    // The escalation goes to a second group that only ops is in.
    Receiver& ops = coupler_.receivers[1];
    DirEntry* lead = coupler_.findDir("lead", true);
    coupler_.findLink(&ops, lead, true);
    for (const Row& row : {Row{"clear", 90, 2}, Row{"reminder", 150, 2}, Row{"escalated", 150, 1}}) {
        SCOPED_TRACE(row.kind);
        bool escalates = std::string(row.kind) == "escalated";
        coupler_.escalationCount = escalates ? 1 : 0;
        coupler_.escalations[0] = {coupler_.nodes[0].dir, lead, 60};
        Node& node = coupler_.nodes[0];
        node.alarm.enabled = true;
        node.alarm.remindSeconds = escalates ? 0 : 60;
        copyText(node.alarm.normal, "Level normal");
        node.alarmState = AlarmState{};
        node.active = node.sent = true;
        node.evaluated = false;
        node.triggerTime = parseDateTime("2026-03-02 06:58:30");
        node.lastRead = node.triggerTime + 85;
        testsupport::writeFile(
            dir_.file("zentok_outbox.csv"),
            std::string("\"ops\";\"plant\";\"400001\";2026-03-02 06:58:30;\"Level\";0;;90;0;;") + row.kind +
                ";2026-03-02 06:59:55\n");
        auto box = std::make_shared<Outbox>(dir_.file("zentok_outbox.csv"));
        box->load();
        coupler_.adoptOutbox(box);
        coupler_.endCarryOverOfRecordedFirings();
        read(row.value);
        coupler_.queueNotifications();
        ASSERT_EQ(box->entries().size(), row.entries);
        EXPECT_EQ(box->entries()[0].receiver, "ops");
        if (row.entries == 2) {
            EXPECT_EQ(box->entries()[1].receiver, "log");
        }
    }
}

TEST_F(OutboxTest, EntriesLeftAtStartAreDueAtOnceAndTimesAheadCountAsNow) {
    coupler_.retrySeconds = 100;
    succeed_[1] = false;
    coupler_.metrics = std::make_shared<Metrics>();
    coupler_.adoptOutbox(leftByEarlierRun("2056-03-02 08:00:00", "2056-03-02 08:00:00"));
    std::string out = dispatch();  // the stored next attempt, 30 years ahead, waits for nothing
    EXPECT_EQ(calls_[1], 1);
    advance(100);
    out = dispatch();
    EXPECT_NE(out.find("given up after 3 attempts"), std::string::npos) << out;
    // This run's failure to be tried again, then the one given up.
    std::string metrics = coupler_.metrics->render(coupler_, nullptr);
    EXPECT_NE(metrics.find("outcome=\"failed\"} 1"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("outcome=\"given_up\"} 1"), std::string::npos) << metrics;
}

TEST_F(OutboxTest, AnUnknownReceiverKeepsItsEntriesForAMinuteAndNamesMatchWithTheirAddress) {
    copyText(coupler_.receivers[0].name, "ops");  // two receivers named "ops"
    succeed_[0] = false;
    auto box = leftByEarlierRun();  // for the second of them
    box->entries()[0].receiverOccurrence = 1;
    box->entries()[0].channel = channelFingerprint("mail;ops@example.org");
    OutboxEntry gone = box->entries()[0];
    gone.receiver = "gone";
    box->add(gone);
    // The first "ops" is removed: the entry of the second still reaches it.
    copyText(coupler_.receivers[0].name, "log");
    coupler_.metrics = std::make_shared<Metrics>();
    std::string out = testsupport::captured([&] { coupler_.adoptOutbox(box); });
    advance(59);
    out += dispatch();
    EXPECT_EQ(calls_[1], 1);
    EXPECT_EQ(calls_[0], 0);
    EXPECT_EQ(out.find("no longer configured"), std::string::npos) << out;
    ASSERT_EQ(box->entries().size(), 1u);
    advance(1);
    out = dispatch();
    EXPECT_EQ(testsupport::countOf(out, "outbox, receiver gone no longer configured"), 1) << out;
    EXPECT_TRUE(box->entries().empty());
    std::string metrics = coupler_.metrics->render(coupler_, nullptr);
    EXPECT_NE(metrics.find(
                  "zentok_notifications_total{receiver=\"gone\",channel=\"unknown\",outcome=\"given_up\"} 1"),
              std::string::npos)
        << "a dropped notification counts as given up";
}

TEST_F(OutboxTest, AFiringTheOutboxCannotStoreIsNotRecordedUntilItCan) {
    coupler_.retrySeconds = 600;
    succeed_[1] = false;
    ASSERT_EQ(mkdir(dir_.file("zentok_outbox.csv").c_str(), 0755), 0);  // no file can replace it
    copyText(coupler_.statesName, dir_.file("zentok_states.csv").c_str());
    coupler_.adoptOutbox(std::make_shared<Outbox>(dir_.file("zentok_outbox.csv")));
    auto cycle = [&] {
        return testsupport::captured([&] {
            coupler_.queueNotifications();
            coupler_.writeStates();
            coupler_.dispatchNotifications();
        });
    };
    read(150);
    std::string out = cycle() + cycle();
    EXPECT_EQ(testsupport::countOf(out, "outbox file '" + dir_.file("zentok_outbox.csv") + "' not writable"),
              1)
        << out;
    EXPECT_EQ(testsupport::readFile(dir_.file("zentok_states.csv")).find("\"plant\";\"400001\";;"), 0u);
    EXPECT_EQ(calls_[0], 1) << "the notification goes out from memory";

    ASSERT_EQ(rmdir(dir_.file("zentok_outbox.csv").c_str()), 0);
    out = cycle();
    EXPECT_NE(out.find("written again"), std::string::npos);
    EXPECT_EQ(testsupport::readFile(dir_.file("zentok_states.csv")).find("\"plant\";\"400001\";;"),
              std::string::npos);
}

// The file is replaced by a rename, so a second link to it keeps the old
// inode and tells whether a rewrite came since.
bool rewrittenSince(const std::string& path, const std::string& link) {
    struct stat now {
    }, then{};
    return stat(path.c_str(), &now) != 0 || stat(link.c_str(), &then) != 0 || now.st_ino != then.st_ino;
}

TEST_F(OutboxTest, OutcomesShareABatchedWriteAndRetriesAloneWriteNothing) {
    coupler_.retrySeconds = 3600;
    succeed_[1] = false;
    const std::string path = dir_.file("zentok_outbox.csv"), seen = dir_.file("seen");
    coupler_.adoptOutbox(std::make_shared<Outbox>(path));
    // Entries, not the header line a file with entries starts with.
    auto lines = [&] {
        std::string text = testsupport::readFile(path);
        return testsupport::countOf(text, "\n") - (text.rfind("\"zentok outbox\"", 0) == 0 ? 1 : 0);
    };
    fire();
    dispatch();  // queued and written; the delivered entry leaves at once, not a batch later
    EXPECT_EQ(lines(), 1);
    EXPECT_EQ(coupler_.outbox->msUntilBatchedSave(), -1);

    ASSERT_EQ(link(path.c_str(), seen.c_str()), 0);
    for (int delay : {10, 20, 40}) {
        advance(delay);
        dispatch();
        coupler_.recordOutcomes();
    }
    EXPECT_EQ(calls_[1], 4);
    EXPECT_FALSE(rewrittenSince(path, seen)) << "an entry that waits for its next attempt is not rewritten";

    // A lone outcome after a quiet second is written at once; the end of a
    // run writes what waits for its batch.
    succeed_[1] = true;
    advance(80);
    dispatch();
    EXPECT_EQ(lines(), 0);
    // Outcomes of a drain that settle one by one: the first leaves at once,
    // the next within the second waits for its batch, which the end of a run
    // writes.
    Outbox& box = *coupler_.outbox;
    for (const char* address : {"400002", "400003"}) {
        OutboxEntry entry;
        entry.receiver = "ops";
        entry.address = address;
        entry.inFlight = std::make_shared<Delivery>();
        box.add(entry);
    }
    box.save();
    for (int expected : {1, 1}) {
        box.entries()[0].inFlight->settle(true);
        coupler_.recordOutcomes();
        EXPECT_EQ(lines(), expected);
    }
    EXPECT_GT(box.msUntilBatchedSave(), 0);
    EXPECT_LE(box.msUntilBatchedSave(), kOutboxBatchMs);
    coupler_.finishDeliveries(steadyMs());
    EXPECT_EQ(lines(), 0);
}

TEST_F(OutboxTest, ARestartSendsWhatTheFloodGuardHeldBackAsItsSummary) {
    coupler_.receivers[1].floodMax = 1;
    coupler_.receivers[1].floodSeconds = 600;
    const std::string path = dir_.file("zentok_outbox.csv");
    coupler_.adoptOutbox(std::make_shared<Outbox>(path));
    for (int firing = 0; firing < 3; ++firing) {
        advance(1);
        fire();
        dispatch();
    }
    EXPECT_EQ(calls_[1], 1) << "two held back";

    auto restarted = std::make_shared<Outbox>(path);
    restarted->load();
    coupler_.adoptOutbox(restarted);
    dispatch();
    EXPECT_EQ(calls_[1], 2) << "one summary, not the two one by one";
    EXPECT_TRUE(restarted->entries().empty());
    EXPECT_EQ(calls_[0], 3);
}

TEST(OutboxBound, PastItTheOldestAreDroppedWithTheirCount) {
    Outbox box;
    OutboxEntry entry;
    for (int i = 0; i < 1201; ++i) box.add(entry);
    std::string out = testsupport::captured([&] { box.reportDropped(); });
    EXPECT_NE(out.find("outbox, more than 1000 notifications pending: the 201 oldest dropped"),
              std::string::npos)
        << out;
    EXPECT_EQ(box.entries().size(), kMaxOutboxEntries);
}

}  // namespace

TEST(OutboxFile, AlarmNoticesKeepTheirKindAndDecisionTimeAndRaisesKeepTheirForm) {
    OutboxEntry raise;
    raise.receiver = "ops";
    raise.source = "plant";
    raise.address = "400001";
    raise.triggerTime = 1772434800;
    raise.text = "high";
    raise.channel = channelFingerprint("file;a.csv");
    const AlarmNotice kinds[] = {AlarmNotice::Raise,    AlarmNotice::Clear,        AlarmNotice::Reminder,
                                 AlarmNotice::Summary,  AlarmNotice::Acknowledged, AlarmNotice::Unshelved,
                                 AlarmNotice::Escalated};
    const int count = static_cast<int>(std::size(kinds));
    std::vector<OutboxEntry> entries(count, raise);
    for (int i = 1; i < count; ++i) {
        entries[i].kind = kinds[i];
        entries[i].decidedAt = raise.triggerTime + 60 * i;
    }
    std::string text = formatOutbox(entries);
    // A raise is the ten-field record of earlier versions, so they read it.
    EXPECT_EQ(text.substr(0, text.find('\n')), formatOutbox({raise}).substr(0, text.find('\n')));
    EXPECT_EQ(std::count(text.begin(), text.begin() + static_cast<long>(text.find('\n')), ';'), 9);
    std::vector<int> damaged;
    auto back = parseOutbox(text, &damaged);
    ASSERT_EQ(back.size(), entries.size());
    EXPECT_TRUE(damaged.empty());
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(back[i].kind, kinds[i]);
        EXPECT_EQ(back[i].decidedAt, i == 0 ? raise.triggerTime : raise.triggerTime + 60 * i);
    }
    // An unknown kind is a damaged record, not a raise.
    std::string unknown = formatOutbox({entries[1]});
    unknown.replace(unknown.find(";clear;"), 7, ";later;");
    EXPECT_TRUE(parseOutbox(unknown, &damaged).empty());
}
