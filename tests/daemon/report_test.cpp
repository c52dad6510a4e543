// The report's figures on a crafted journal: rate against the EEMUA line,
// chattering and top nodes, acknowledgements, and lines that are skipped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Text.h"
#include "cycle/JournalRecord.h"
#include "daemon/AlarmAudit.h"
#include "daemon/JournalReport.h"
#include "daemon/ReportExport.h"

namespace {

constexpr int64_t kStart = 1796630400;  // a whole 10 minutes

std::string line(int64_t offset, JournalEvent event, const std::string& node, int64_t episodeOffset) {
    JournalRecord record;
    record.time = kStart + offset;
    record.event = event;
    record.source = "plant";
    record.node = node;
    record.value = "1";
    record.episode = kStart + episodeOffset;
    return formatJournalLine(record);
}

JournalRecord event(int64_t offset, JournalEvent kind, const std::string& node, int64_t episodeOffset,
                    const std::string& receiver = "") {
    return {kStart + offset, kind, "plant", node, "1", receiver, kStart + episodeOffset, ""};
}

// The figure named `key` of the site, or of the receiver named `scope`.
double figure(const AlarmAudit& audit, const std::string& scope, const std::string& key) {
    std::vector<FigureRow> rows = alarmFigureRows(audit.site);
    for (const ReceiverFigures& receiver : audit.receivers) {
        if (receiver.receiver != scope) continue;
        rows = alarmFigureRows(receiver.alarms);
        std::vector<FigureRow> delivery = deliveryFigureRows(receiver);
        rows.insert(rows.end(), delivery.begin(), delivery.end());
    }
    for (const FigureRow& row : rows)
        if (key == row.key) return row.value;
    ADD_FAILURE() << "no figure " << key << " for " << scope;
    return -2;
}

struct Expected {
    const char* scope;
    const char* key;
    double value;
};

struct AuditCase {
    const char* name;
    std::vector<JournalRecord> journal;
    std::vector<Expected> figures;
};

std::vector<JournalRecord> flood() {
    std::vector<JournalRecord> journal;
    for (int i = 0; i < 12; ++i) {
        std::string node = "N" + std::to_string(i);
        journal.push_back(event(i * 40, JournalEvent::Raised, node, i * 40));
        journal.push_back(event(i * 40 + 60, JournalEvent::Cleared, node, i * 40));
    }
    journal.push_back(event(3000, JournalEvent::Raised, "late", 3000));  // a calm interval after it
    return journal;
}

}  // namespace

// The audit's figures on journals with known answers; the key is the name
// the CSV and the JSON carry.
TEST(JournalReport, AuditFiguresOfCraftedJournals) {
    const int64_t day = 24 * 3600;
    const AuditCase cases[] = {
        {"a flood of 12 in 10 minutes",
         flood(),
         {{"site", "peak_per_10_minutes", 12},
          {"site", "flood_seconds", 600},
          {"site", "flood_interval_share", 1.0 / 6},
          {"site", "top_ten_share", 10.0 / 13},
          {"site", "fleeting", 0},
          {"site", "clear_p50_seconds", 60}}},
        {"stale alarms: one cleared after 25 h, one still active 25 h on",
         {event(0, JournalEvent::Raised, "cleared late", 0),
          event(day + 3600, JournalEvent::Cleared, "cleared late", 0),
          event(10, JournalEvent::Raised, "still on", 10), event(day, JournalEvent::Raised, "fresh", day)},
         {{"site", "stale", 2}, {"site", "cleared", 1}, {"site", "clear_p50_seconds", day + 3600}}},
        {"a fleeting alarm of 5 s beside one of 60 s",
         {event(0, JournalEvent::Raised, "F", 0), event(5, JournalEvent::Cleared, "F", 0),
          event(100, JournalEvent::Raised, "G", 100), event(160, JournalEvent::Cleared, "G", 100)},
         {{"site", "fleeting", 1}, {"site", "stale", 0}}},
        {"shelves: one that ran the whole limit of 1 h, one ended after 30 min",
         {event(0, JournalEvent::Shelved, "S", 0), event(3601, JournalEvent::Unshelved, "S", 0),
          event(0, JournalEvent::Shelved, "T", 0), event(1800, JournalEvent::Unshelved, "T", 0)},
         {{"site", "shelves", 2},
          {"site", "shelves_at_limit", 1},
          {"site", "shelved_hours", 1.5 + 1.0 / 3600}}},
        {"per receiver: delivery latency, given up, and only the alarms that reached it",
         {event(0, JournalEvent::Raised, "R", 0), event(2, JournalEvent::Delivered, "R", 0, "shift"),
          event(100, JournalEvent::Cleared, "R", 0), event(130, JournalEvent::Delivered, "R", 0, "shift"),
          event(50, JournalEvent::Raised, "Q", 50), event(3650, JournalEvent::GivenUp, "Q", 50, "shift")},
         {{"site", "alarms", 2},
          {"shift", "alarms", 1},
          {"shift", "delivered", 2},
          {"shift", "given_up", 1},
          {"shift", "delivered_per_hour", 2.0 / (3650.0 / 3600)},
          {"shift", "latency_p50_seconds", 2},
          {"shift", "latency_p99_seconds", 30}}},
    };
    for (const AuditCase& c : cases) {
        AlarmAudit audit = auditJournal(c.journal, 0, 3600);
        for (const Expected& expected : c.figures)
            EXPECT_NEAR(figure(audit, expected.scope, expected.key), expected.value, 1e-9)
                << c.name << ": " << expected.scope << " " << expected.key;
    }
}

// A tag is an eighth field, only on the lines of a node that has one, and
// reads back; lines of seven fields, as every older journal has, still read.
TEST(JournalReport, ATagIsAFieldOfItsOwnBehindTheOthers) {
    JournalRecord record;
    record.time = kStart;
    record.source = "plant";
    record.node = "400020:BITS.3";
    record.episode = kStart;
    std::string plain = formatJournalLine(record);
    record.tag = "pumps.3";
    std::string tagged = formatJournalLine(record);
    EXPECT_EQ(tagged, plain.substr(0, plain.size() - 1) + ";\"pumps.3\"\n");
    JournalRecord read;
    ASSERT_TRUE(parseJournalLine(tagged.substr(0, tagged.size() - 1), &read));
    EXPECT_EQ(read.tag, "pumps.3");
    ASSERT_TRUE(parseJournalLine(plain.substr(0, plain.size() - 1), &read));
    EXPECT_EQ(read.tag, "");
}

TEST(JournalReport, FiguresOfACraftedJournal) {
    std::string text = std::string(kJournalHeader) + "\n";
    // A chatters: three raises in 50 s, each cleared; the second is acknowledged after 40 s.
    for (int64_t at : {0, 20, 50}) {
        text += line(at, JournalEvent::Raised, "A", at);
        text += line(at + 5, JournalEvent::Cleared, "A", at);
    }
    text += line(60, JournalEvent::Acknowledged, "A", 20);
    // B: two raises a minute apart (no chatter) and a third 30 minutes on,
    // recorded twice after a crash; the first acknowledged after 100 s.
    text += line(100, JournalEvent::Raised, "B", 100);
    text += line(200, JournalEvent::Acknowledged, "B", 100);
    text += line(160, JournalEvent::Raised, "B", 160);
    text += line(1900, JournalEvent::Raised, "B", 1900);
    text += line(1900, JournalEvent::Raised, "B", 1900);
    // D, a sensor out of its range, recorded twice, and a drill: neither is a process alarm.
    text += line(300, JournalEvent::SensorSuspect, "D", 300);
    text += line(300, JournalEvent::SensorSuspect, "D", 300);
    text += line(400, JournalEvent::Drill, "drill", 400);
    // Damage: a cut line, a line of another file, an unknown event, a NUL, a huge line.
    text += "2026-12-07 10:00:00+00:00;raised;\"plant\"\n";
    text += "\"plant\";\"400001\";;2026-03-02 09:02:03;0;0\n";
    text += line(10, JournalEvent::Raised, "C", 10).replace(26, 6, "wobble");
    text += std::string("2026-12-07 10:00:00+00:00;raised;\"p\0\";\"C\";1;\"\";\n", 48);
    text += std::string(5000, 'x') + "\n";
    JournalLines lines;
    lines.add(text);
    EXPECT_EQ(lines.skipped, 5);
    EXPECT_EQ(lines.records.size(), 15u);

    JournalFigures all = journalFigures(lines.records, 0);
    EXPECT_EQ(all.raises, 6);
    EXPECT_EQ(all.sensorSuspects, 1);
    EXPECT_EQ(all.drills, 1);
    EXPECT_EQ(all.peakPer10Minutes, 5);
    EXPECT_EQ(all.peakStart, kStart);
    // 6 raises over the four windows from 0 to 1900 s.
    EXPECT_DOUBLE_EQ(all.averagePer10Minutes, 1.5);
    ASSERT_EQ(all.chattering.size(), 1u);
    EXPECT_EQ(all.chattering[0], std::make_pair(std::string("plant: A"), 3));
    ASSERT_EQ(all.topNodes.size(), 2u);
    EXPECT_EQ(all.topNodes[1], std::make_pair(std::string("plant: B"), 3));  // the duplicate counts once
    EXPECT_EQ(all.acknowledged, 2);
    EXPECT_EQ(all.medianAcknowledgeSeconds, 70);  // 40 s and 100 s

    JournalFigures late = journalFigures(lines.records, kStart + 1000);
    EXPECT_EQ(late.raises, 1);
    EXPECT_EQ(late.acknowledged, 0);
    EXPECT_EQ(late.medianAcknowledgeSeconds, -1);
    EXPECT_TRUE(late.chattering.empty());

    std::string report = formatJournalReport(all, lines, {"j.csv"});
    EXPECT_NE(report.find("above the EEMUA 191 line"), std::string::npos) << report;
    EXPECT_NE(report.find("acknowledged: 2 of 6 (33 %), median time to acknowledge 1m 10s"),
              std::string::npos)
        << report;
}

TEST(JournalReport, SinceTakesADayOrAMinute) {
    EXPECT_EQ(parseSinceDate("2026-12-07"), parseDateTime("2026-12-07 00:00:00"));
    EXPECT_EQ(parseSinceDate("2026-12-07 10:30"), parseDateTime("2026-12-07 10:30:00"));
    EXPECT_EQ(parseSinceDate("yesterday"), 0);
}
