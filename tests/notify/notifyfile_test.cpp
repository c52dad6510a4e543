// The file channel: dated file names, the exact CSV line, quoting, and the
// notifications lost when the file cannot be opened.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <ctime>
#include <string>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "notify/channels/FileChannel.h"
#include "tests/support/StdoutCapture.h"
#include "tests/support/TestSupport.h"

using testsupport::readFile;
using testsupport::TempDir;

namespace {

int entriesIn(const std::string& path) {
    int count = 0;
    if (DIR* listing = opendir(path.c_str())) {
        while (dirent* entry = readdir(listing))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") ++count;
        closedir(listing);
    }
    return count;
}

int64_t localTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm parts {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&parts));
}

// Lets this process write files up to `bytes` only, as on a full disk: the
// write that crosses the limit is cut short and the next one fails.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, savedHandler_);
    }

  private:
    rlimit saved_{};
    void (*savedHandler_)(int) = nullptr;
};

class NotifyFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        node.sourceName = "plantA";
        node.address = "400001";
        node.value = 120.4;
        setClock(localTime(2026, 12, 31, 23, 59, 59));
    }
    void TearDown() override { setClockForTesting(nullptr); }

    void setClock(int64_t seconds) {
        now = seconds;
        setClockForTesting([this] { return now; });
    }

    static FileChannel channel(std::string pattern) { return FileChannel(&pattern[0]); }

    TempDir dir;
    Notification node;
    int64_t now = 0;
};

TEST_F(NotifyFileTest, DatedPatternWritesOneLinePerNotificationAndFollowsTheMonth) {
    ASSERT_EQ(mkdir(dir.file("logs").c_str(), 0755), 0);
    // Backslashes in the pattern are directory separators.
    FileChannel file = channel(dir.path() + "\\logs\\alarm_%Y%m.csv");
    EXPECT_TRUE(file.notify(testsupport::withText(node, "Level high: 120")));
    EXPECT_TRUE(file.notify(testsupport::withText(node, "second")));
    EXPECT_EQ(readFile(dir.file("logs/alarm_202612.csv")),
              "\"plantA\";\"400001\";2026-12-31;23:59:59;120;\"Level high: 120\"\n"
              "\"plantA\";\"400001\";2026-12-31;23:59:59;120;\"second\"\n");

    setClock(now + 1);
    node.value = -3.6;
    EXPECT_TRUE(file.notify(testsupport::withText(node, "new year")));
    EXPECT_EQ(readFile(dir.file("logs/alarm_202701.csv")),
              "\"plantA\";\"400001\";2027-01-01;00:00:00;-4;\"new year\"\n");
}

TEST_F(NotifyFileTest, FixedNamesAndLiteralPercentSigns) {
    FileChannel file = channel(dir.file("100%%_alarms.csv"));
    EXPECT_TRUE(file.notify(testsupport::withText(node, "")));
    EXPECT_TRUE(file.notify(testsupport::withText(node, "again")));
    std::string content = readFile(dir.file("100%_alarms.csv"));
    EXPECT_EQ(testsupport::countOf(content, "\n"), 2);
    EXPECT_NE(content.find(";120;\"\"\n"), std::string::npos);
}

TEST_F(NotifyFileTest, QuotesInsideFieldsAreDoubledSoTheLineStaysCsv) {
    node.sourceName = "plant \"A\"";
    node.address = "MW\"10";
    FileChannel file = channel(dir.file("q.csv"));
    EXPECT_TRUE(file.notify(testsupport::withText(node, "say \"hi\"; then stop")));
    EXPECT_EQ(readFile(dir.file("q.csv")),
              "\"plant \"\"A\"\"\";\"MW\"\"10\";2026-12-31;23:59:59;120;\"say \"\"hi\"\"; then stop\"\n");
}

TEST_F(NotifyFileTest, AFailedWriteLeavesNoPartOfItsLine) {
    FileChannel file = channel(dir.file("full.csv"));
    // Long enough that the limit leaves room for the failure line on the console.
    ASSERT_TRUE(file.notify(testsupport::withText(node, std::string(200, 'f').c_str())));
    const std::string first = readFile(dir.file("full.csv"));
    std::string out;
    {
        FileSizeLimit full(first.size() + 20);  // room for a part of the next line only
        out = testsupport::captured(
            [&] { EXPECT_FALSE(file.notify(testsupport::withText(node, "this line does not fit"))); });
    }
    EXPECT_EQ(out, "notifyFile::notify, err 'File too large', file '" + dir.file("full.csv") + "'\n");
    EXPECT_EQ(readFile(dir.file("full.csv")), first);
    EXPECT_TRUE(file.notify(testsupport::withText(node, "after")));
    EXPECT_EQ(readFile(dir.file("full.csv")),
              first + "\"plantA\";\"400001\";2026-12-31;23:59:59;120;\"after\"\n");
}

TEST_F(NotifyFileTest, UnopenableFilesLoseTheNotificationWithAFailureLine) {
    FileChannel missingDir = channel(dir.file("no/such/dir/x.csv"));
    std::string out =
        testsupport::captured([&] { EXPECT_FALSE(missingDir.notify(testsupport::withText(node, "lost"))); });
    EXPECT_EQ(out, "notifyFile::notify, err 'No such file or directory', file '" +
                       dir.file("no/such/dir/x.csv") + "'\n");

    FileChannel empty(nullptr);
    EXPECT_STREQ(empty.namePattern, "");
    out = testsupport::captured([&] { EXPECT_FALSE(empty.notify(testsupport::withText(node, "lost"))); });
    EXPECT_EQ(out, "notifyFile::notify, err 'the name pattern gives no file name', file ''\n");

    // An expansion longer than 255 characters gives no name at all, rather
    // than a cut one.
    std::string pattern = dir.path() + "/";
    for (int i = 0; i < 80; ++i) pattern += "%Y";
    FileChannel tooLong = channel(pattern);
    out = testsupport::captured([&] { EXPECT_FALSE(tooLong.notify(testsupport::withText(node, "lost"))); });
    EXPECT_EQ(
        testsupport::countOf(out, "err 'the name pattern gives no file name', file '" + pattern + "'\n"), 1)
        << out;
    EXPECT_EQ(entriesIn(dir.path()), 0);

    // A pattern longer than the field is cut at 255 characters.
    FileChannel longPattern = channel(std::string(300, 'p'));
    EXPECT_EQ(std::string(longPattern.namePattern), std::string(255, 'p'));
}

}  // namespace
