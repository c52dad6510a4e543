// The files a run leaves behind, damaged the ways a disk, a crash or a hand
// edit damages them, kept as fixtures: what the outbox and the journal
// report still read of each, and which records they skip.
#include <gtest/gtest.h>

#include <string>

#include "cycle/Outbox.h"
#include "daemon/JournalReport.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

namespace {

std::string fixture(const std::string& name) {
    return std::string(ZENTOK_SOURCE_DIR) + "/tests/fixtures/" + name;
}

struct StoredFile {
    const char* name;
    int kept;              // records read
    const char* skipped;   // the outbox: its lines said damaged; the journal: the count
    const char* lastText;  // the outbox: the text of the last entry kept
};

const StoredFile kStoredFiles[] = {
    // A crash during an append: the cut record would read as a raise.
    {"outbox/truncated.csv", 1, "3", "Tank level high: 120"},
    {"outbox/stray_quote.csv", 1, "3", "Tank level high: 120"},
    {"outbox/oversize_field.csv", 1, "2", "Tank level high: 120"},
    // No header, nine fields, times without their offset.
    {"outbox/old_version.csv", 2, "", "Pressure \"high\": 7"},
    {"journal/old_version.csv", 2, "0", ""},
    {"journal/stray_quote.csv", 1, "1", ""},
    {"journal/oversize_field.csv", 1, "1", ""},
};

}  // namespace

TEST(StoredFilesTest, DamagedFilesKeepTheirWholeRecordsAndSaySkipped) {
    for (const StoredFile& file : kStoredFiles) {
        SCOPED_TRACE(file.name);
        std::string name = file.name;
        if (name.rfind("journal/", 0) == 0) {
            JournalLines lines;
            lines.add(testsupport::readFile(fixture(name)));
            EXPECT_EQ(static_cast<int>(lines.records.size()), file.kept);
            EXPECT_EQ(std::to_string(lines.skipped), file.skipped);
            continue;
        }
        Outbox box(fixture(name));
        std::string said = testsupport::captured([&] { box.load(); });
        ASSERT_EQ(static_cast<int>(box.entries().size()), file.kept);
        EXPECT_EQ(box.entries().back().text, file.lastText);
        std::string skipped;
        for (size_t at = said.find("line "); at != std::string::npos; at = said.find("line ", at + 1))
            skipped += (skipped.empty() ? "" : ",") + said.substr(at + 5, said.find(' ', at + 5) - at - 5);
        EXPECT_EQ(skipped, file.skipped) << said;
    }
}
