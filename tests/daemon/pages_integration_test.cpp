// Both pages in a real browser: headless Chromium loads the file Zentok
// wrote, takes a screenshot and hands back the DOM it built, where the node
// rows and the chart's bars must be.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cycle/JournalRecord.h"
#include "support/TestSupport.h"

using testsupport::TempDir;

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

// True when the browser is there; without it CI fails and a desk skips.
bool haveChromium() {
    if (testsupport::fileExists(kChromium)) return true;
    if (std::getenv("CI"))
        ADD_FAILURE()
            << "chromium is missing: install the Debian package chromium (scripts/apt-packages.txt)";
    return false;
}

// The DOM of the page at `path`, as Chromium built it; a phone-sized screenshot beside it.
std::string domOf(const std::string& path) {
    std::string shot = path + ".png";
    testsupport::RunResult run = testsupport::runProgram(
        {kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--window-size=412,900", "--screenshot=" + shot, "--dump-dom", "file://" + path},
        "/tmp", 60000);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    struct stat status {};
    EXPECT_TRUE(::stat(shot.c_str(), &status) == 0 && status.st_size > 1000) << "no screenshot " << shot;
    return run.output;
}

// The part of `dom` from `start` to the next `end`.
std::string partOf(const std::string& dom, const std::string& start, const std::string& end) {
    size_t from = dom.find(start);
    if (from == std::string::npos) return "";
    size_t to = dom.find(end, from);
    return dom.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// The data-value of each bar, in order.
std::vector<std::string> barValues(const std::string& chart) {
    std::vector<std::string> values;
    const std::string mark = "class=\"bar\" data-value=\"";
    for (size_t at = chart.find(mark); at != std::string::npos; at = chart.find(mark, at + 1)) {
        size_t start = at + mark.size();
        values.push_back(chart.substr(start, chart.find('"', start) - start));
    }
    return values;
}

std::string journalLine(int64_t time, JournalEvent event, const std::string& node) {
    return formatJournalLine({time, event, "plant", node, "1", "", time, ""});
}

}  // namespace

TEST(PagesInBrowser, ReportPageDrawsTheRateOfACraftedJournal) {
    if (!haveChromium()) GTEST_SKIP() << "chromium is not installed";
    TempDir dir;
    const int64_t start = 1796630400;  // a whole 10 minutes
    // 12 alarms in the first 10 minutes, none in the next, 3 in the third.
    std::string journal = std::string(kJournalHeader) + "\n";
    for (int i = 0; i < 12; ++i)
        journal += journalLine(start + i * 30, JournalEvent::Raised, "N" + std::to_string(i % 4));
    for (int i = 0; i < 3; ++i) journal += journalLine(start + 1200 + i, JournalEvent::Raised, "late");
    testsupport::writeFile(dir.file("zentok_journal.csv"), journal);
    testsupport::writeFile(dir.file("z.ini"), "coupler;journal;zentok_journal.csv\n");
    testsupport::RunResult report =
        testsupport::runZentokIn(dir.path(), {"report", "--html", "r.html", "-i", "z.ini"});
    ASSERT_EQ(report.exitCode, 0) << report.output;

    std::string dom = domOf(dir.file("r.html"));
    EXPECT_EQ(barValues(partOf(dom, "<svg id=\"rate\"", "</svg>")),
              (std::vector<std::string>{"12", "0", "3"}))
        << dom;
    EXPECT_NE(partOf(dom, "<svg id=\"rate\"", "</svg>").find("class=\"level\" data-value=\"1\""),
              std::string::npos);
    EXPECT_EQ(barValues(partOf(dom, "<svg id=\"top\"", "</svg>")),
              (std::vector<std::string>{"3", "3", "3", "3", "3"}));
    EXPECT_EQ(barValues(partOf(dom, "<svg id=\"flood\"", "</svg>")), (std::vector<std::string>{"10"}));
}

TEST(PagesInBrowser, StatusPageShowsEveryNode) {
    if (!haveChromium()) GTEST_SKIP() << "chromium is not installed";
    TempDir dir;
    testsupport::writeFile(dir.file("z.ini"), "coupler;runmode;single\ncoupler;statuspage;status.html\n" +
                                                  testsupport::closedSource() +
                                                  "node;a;400001;Tank {{*}};shift;O:100\ntag;tank_level\n"
                                                  "node;a;400002;Pump {{*}};shift;O:1\ntag;pump_3\n"
                                                  "receiver;shift\nadr;file;n.csv\ndir;shift\n");
    testsupport::RunResult run = testsupport::runZentokIn(dir.path(), {"-i", "z.ini"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    struct stat status {};
    ASSERT_EQ(::stat(dir.file("status.html").c_str(), &status), 0) << run.output;
    EXPECT_EQ(status.st_mode & 0777, 0644u);  // a web server's user reads it

    std::string dom = domOf(dir.file("status.html"));
    std::string nodes = partOf(dom, "<table id=\"nodes\"", "</table>");
    EXPECT_EQ(testsupport::countOf(nodes, "<tr class=\"node normal\">"), 2) << dom;
    EXPECT_NE(nodes.find(">tank_level</td><td data-label=\"Value\">never read</td>"), std::string::npos)
        << nodes;
    EXPECT_NE(nodes.find(">pump_3</td>"), std::string::npos);
    EXPECT_NE(dom.find("class=\"stopped\""), std::string::npos);
    EXPECT_NE(partOf(dom, "<table id=\"receivers\"", "</table>").find("<td>shift</td>"), std::string::npos);
}
