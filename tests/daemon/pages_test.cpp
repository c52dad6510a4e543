// Hostile names and journal fields stay text in both pages: markup, quotes,
// control characters and 10 kB fields never end their element or attribute.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/HtmlPage.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Metrics.h"
#include "cycle/StatusPage.h"
#include "daemon/AlarmAudit.h"
#include "daemon/ReportPage.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

namespace {

const std::string kHostile =
    "</td></tr></table></svg><script>alert(1)</script><img src=x onerror=alert(2)>\"'&\x01\x1b" +
    std::string(10000, 'A');

// What only markup can add: a tag, an attribute's quotes, a control character.
struct Shape {
    int tags = 0;
    int quotes = 0;
    int controls = 0;
};

Shape shapeOf(const std::string& page) {
    Shape shape;
    for (char c : page) {
        shape.tags += c == '<';
        shape.quotes += c == '"' || c == '\'';
        shape.controls += static_cast<unsigned char>(c) < 0x20 && c != '\n';
    }
    return shape;
}

void expectSameShape(const std::string& hostile, const std::string& plain) {
    Shape a = shapeOf(hostile);
    Shape b = shapeOf(plain);
    EXPECT_EQ(a.tags, b.tags);
    EXPECT_EQ(a.quotes, b.quotes);
    EXPECT_EQ(a.controls, 0);
    EXPECT_EQ(hostile.find("<script"), std::string::npos);
    EXPECT_NE(hostile.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos)
        << "the name is on the page";
}

std::string reportWith(const std::string& name) {
    const int64_t start = 1796630400;
    std::vector<JournalRecord> journal;
    for (int i = 0; i < 12; ++i) {
        journal.push_back(
            {start + i, JournalEvent::Raised, name, name + std::to_string(i), name, "", start + i, ""});
        journal.push_back({start + i + 1, JournalEvent::Delivered, name, name + std::to_string(i), name, name,
                           start + i, ""});
        journal.push_back({start + 30, JournalEvent::Acknowledged, name, name + std::to_string(i), name, "",
                           start + i, ""});
    }
    JournalLines lines;
    lines.records = journal;
    return renderReportPage(auditJournal(journal, 0, 3600), lines, {name});
}

void loadOneNode(Coupler& coupler, const testsupport::TempDir& dir) {
    std::string path = dir.file("zentok.ini");
    testsupport::writeFile(
        path, testsupport::closedSource() +
                  "node;a;400001;Level {{*}};shift;O:100\nreceiver;shift\nadr;file;n.csv\ndir;shift\n");
    testsupport::captured([&] { coupler.loadConfig(path.c_str()); });
    EXPECT_EQ(coupler.nodeCount, 1);
}

std::string statusPageWith(const std::string& name) {
    testsupport::TempDir dir;
    Coupler coupler;
    loadOneNode(coupler, dir);
    Node& node = coupler.nodes[0];
    copyText(node.tag, name.c_str());
    node.active = true;
    node.triggerTime = 1796630400;
    node.ack.episode = node.triggerTime;
    copyText(node.ack.by, name.c_str());
    copyText(coupler.receivers[0].name, name.c_str());
    copyText(coupler.sources[0].name, name.c_str());
    Metrics metrics;
    metrics.countNotification(name, "file", NotificationOutcome::Delivered);
    return renderStatusPage(coupler, metrics, node.triggerTime + 10, false);
}

}  // namespace

TEST(Pages, EscapeKeepsEveryTextInItsPlace) {
    const std::pair<std::string, std::string> cases[] = {
        {"<b>&</b>", "&lt;b&gt;&amp;&lt;/b&gt;"},
        {"a\"b'c", "a&quot;b&#39;c"},
        {std::string("bell\x07 nul", 9) + std::string(1, '\0'), "bell\xEF\xBF\xBD nul\xEF\xBF\xBD"},
        {"tab\tline\n", "tab\tline\n"},
        {"W\xC3\xA4rme 3 \xC2\xB0"
         "C",
         "W\xC3\xA4rme 3 \xC2\xB0"
         "C"},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(escapeHtml(text), escaped) << text;
}

TEST(Pages, HostileNamesStayTextInBothPages) {
    expectSameShape(reportWith(kHostile), reportWith("plain"));
    expectSameShape(statusPageWith(kHostile), statusPageWith("plain"));
}

// The page is written when something on it changed, at most once a second,
// and once a minute while nothing does.
TEST(Pages, StatusPageIsWrittenOnChangeOnly) {
    testsupport::TempDir dir;
    Coupler coupler;
    loadOneNode(coupler, dir);
    coupler.statusPagePath = dir.file("status.html");
    Metrics metrics;
    StatusPage page;
    const int64_t now = 1796630400;
    auto publishedAt = [&](int64_t at) {
        testsupport::writeFile(coupler.statusPagePath, "old");
        page.publish(coupler, metrics, at);
        return testsupport::readFile(coupler.statusPagePath) != "old";
    };
    EXPECT_TRUE(publishedAt(now));
    EXPECT_FALSE(publishedAt(now + 1)) << "nothing changed";
    coupler.nodes[0].value = 42;
    coupler.nodes[0].lastRead = now + 2;
    EXPECT_FALSE(publishedAt(now + 1)) << "the same second again";
    EXPECT_TRUE(publishedAt(now + 2));
    EXPECT_FALSE(publishedAt(now + 30));
    EXPECT_TRUE(publishedAt(now + 62)) << "a minute passed";
}
