// The metrics file and the journal as files: written only when something
// changed, rotated whole, and a directory that fails said once and once
// when it works again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "base/DurableFile.h"
#include "base/Text.h"
#include "cycle/AlarmJournal.h"
#include "cycle/Coupler.h"
#include "cycle/Metrics.h"
#include "daemon/JournalReport.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"
#include "trigger/Trigger.h"

using namespace testsupport;

namespace {

FileIdentity identity(const std::string& path) {
    FileIdentity id;
    identityOf(path, &id);
    return id;
}

}  // namespace

TEST(MetricsFile, WrittenWhenAStateChangesOrAMinutePassedAndAFailureSaidOnce) {
    TempDir dir;
    Coupler coupler;
    coupler.nodeCount = 1;
    copyText(coupler.nodes[0].address, "4\"0\\1\n");
    coupler.metricsPath = dir.file("gone/z.prom");
    Metrics metrics;
    int64_t now = 1796630400;
    std::string said = captured([&] {
        metrics.publish(coupler, now);
        metrics.publish(coupler, now + 1);
        ASSERT_EQ(mkdir(dir.file("gone").c_str(), 0755), 0);
        metrics.publish(coupler, now + 2);
    });
    EXPECT_EQ(countOf(said, "metrics file '" + coupler.metricsPath + "' not writable, err 'No such file"), 1)
        << said;
    EXPECT_EQ(countOf(said, "metrics file '" + coupler.metricsPath + "' written again"), 1) << said;
    std::string text = readFile(coupler.metricsPath);
    EXPECT_NE(text.find("zentok_node_value{source=\"\",node=\"4\\\"0\\\\1\\n\"} 0\n"), std::string::npos)
        << text;

    FileIdentity first = identity(coupler.metricsPath);
    metrics.countCycle(coupler, 0.5, now + 3);  // only every-cycle samples move
    metrics.publish(coupler, now + 3);
    EXPECT_TRUE(identity(coupler.metricsPath) == first);
    coupler.nodes[0].active = true;
    setCondition(&coupler.nodes[0], "R:0:10");  // a sensor out of its range is told apart
    metrics.publish(coupler, now + 4);
    EXPECT_NE(readFile(coupler.metricsPath).find("state=\"active\"} 1"), std::string::npos);
    EXPECT_NE(readFile(coupler.metricsPath).find("zentok_node_sensor_suspect{source=\"\",node="),
              std::string::npos);
    FileIdentity second = identity(coupler.metricsPath);
    metrics.publish(coupler, now + 64);
    EXPECT_FALSE(identity(coupler.metricsPath) == second);
    EXPECT_NE(readFile(coupler.metricsPath).find("zentok_cycles_total 1\n"), std::string::npos);
}

TEST(Journal, RotatesWholeLinesKeepingNFilesAndSaysAFailureOnce) {
    TempDir dir;
    AlarmJournal journal;
    std::string name = dir.file("gone/j.csv");
    journal.configure(name, 1024, 2);
    JournalRecord record;
    record.time = 1796630400;
    record.source = "plant";
    record.node = "400001";
    record.receiver = "a \"quoted\"\nname";
    std::string said = captured([&] {
        journal.record(record);
        journal.record(record);
        ASSERT_EQ(mkdir(dir.file("gone").c_str(), 0755), 0);
        for (int i = 0; i < 60; ++i) journal.record(record);
    });
    EXPECT_EQ(countOf(said, "journal '" + name + "' not writable"), 1) << said;
    EXPECT_EQ(countOf(said, "journal '" + name + "' written again"), 1) << said;
    ASSERT_EQ(journalFiles(name), (std::vector<std::string>{name + ".2", name + ".1", name}));
    EXPECT_FALSE(fileExists(name + ".3"));
    for (const std::string& file : journalFiles(name)) {
        std::string text = readFile(file);
        EXPECT_LE(text.size(), 1024u);
        EXPECT_EQ(text.rfind(std::string(kJournalHeader) + "\n", 0), 0u) << file;
        JournalLines lines;
        lines.add(text);
        EXPECT_EQ(lines.skipped, 0) << text;
        ASSERT_FALSE(lines.records.empty());
        EXPECT_EQ(lines.records.back().receiver, "a \"quoted\" name");
    }
}
