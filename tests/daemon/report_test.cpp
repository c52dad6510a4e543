// The report's figures on a crafted journal: rate against the EEMUA line,
// chattering and top nodes, acknowledgements, and lines that are skipped.
#include <gtest/gtest.h>

#include <string>

#include "base/Text.h"
#include "cycle/JournalRecord.h"
#include "daemon/JournalReport.h"

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

}  // namespace

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
    // Damage: a cut line, a line of another file, an unknown event, a NUL, a huge line.
    text += "2026-12-07 10:00:00+00:00;raised;\"plant\"\n";
    text += "\"plant\";\"400001\";;2026-03-02 09:02:03;0;0\n";
    text += line(10, JournalEvent::Raised, "C", 10).replace(26, 6, "wobble");
    text += std::string("2026-12-07 10:00:00+00:00;raised;\"p\0\";\"C\";1;\"\";\n", 48);
    text += std::string(5000, 'x') + "\n";
    JournalLines lines;
    lines.add(text);
    EXPECT_EQ(lines.skipped, 5);
    EXPECT_EQ(lines.records.size(), 12u);

    JournalFigures all = journalFigures(lines.records, 0);
    EXPECT_EQ(all.raises, 6);
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
