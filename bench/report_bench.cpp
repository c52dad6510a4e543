// "zentok report" on a journal of 100,000 lines: reading the lines, the
// audit's figures, and the page with its charts. docs/performance.md keeps
// the figure; the report must take under 2 s.
#include <benchmark/benchmark.h>

#include <string>

#include "cycle/JournalRecord.h"
#include "daemon/AlarmAudit.h"
#include "daemon/JournalReport.h"
#include "daemon/ReportExport.h"
#include "daemon/ReportPage.h"

namespace {

constexpr int kLines = 100000;
constexpr int64_t kStart = 1796630400;

// A month of a busy plant: 200 nodes raising, delivered to three receivers,
// cleared, some acknowledged and shelved; a flood now and then.
std::string journalText() {
    std::string text = std::string(kJournalHeader) + "\n";
    const char* receivers[] = {"shift", "lead", "log"};
    int64_t time = kStart;
    for (int i = 0; i < kLines / 6; ++i) {
        time += (i % 500 < 20) ? 5 : 150;
        std::string node = "node-" + std::to_string(i % 200);
        text += formatJournalLine({time, JournalEvent::Raised, "plant", node, "1", "", time, ""});
        for (const char* receiver : receivers)
            text += formatJournalLine(
                {time + 2, JournalEvent::Delivered, "plant", node, "1", receiver, time, ""});
        text += formatJournalLine({time + 90, i % 3 ? JournalEvent::Cleared : JournalEvent::Acknowledged,
                                   "plant", node, "1", "", time, ""});
        text += formatJournalLine({time + 95, i % 50 ? JournalEvent::Cleared : JournalEvent::Shelved, "plant",
                                   node, "1", "", time, ""});
    }
    return text;
}

void reportOf100kLines(benchmark::State& state) {
    const std::string text = journalText();
    for (auto _ : state) {
        JournalLines lines;
        lines.add(text);
        AlarmAudit audit = auditJournal(lines.records, 0, 8 * 3600);
        std::string page = renderReportPage(audit, lines, {"zentok_journal.csv"});
        std::string json = reportJson(audit);
        benchmark::DoNotOptimize(page);
        benchmark::DoNotOptimize(json);
        state.counters["lines"] = lines.lines;
    }
}

}  // namespace

BENCHMARK(reportOf100kLines)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
