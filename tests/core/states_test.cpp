// The node states file: round trip, hand edits, garbage, and the atomic
// rewrite that keeps the previous states when a write fails.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "core/Coupler.h"
#include "core/Text.h"
#include "support/TestSupport.h"

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// 2026-03-02 07:00:00 UTC, which is 08:00:00 in the test zone.
constexpr int64_t kFired = 1772434800;
constexpr int64_t kRead = kFired + 3723;  // 09:02:03 local

class StatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "ZKT-1", 1);
        tzset();
        path_ = dir_.file("zentok_states.csv");
    }

    // The same configuration every time: one source whose name holds a quote,
    // three nodes of it and one node placed before the source line.
    std::unique_ptr<Coupler> makeCoupler() {
        auto c = std::make_unique<Coupler>();
        copyText(c->statesName, path_.c_str());
        c->sourceCount = 1;
        copyText(c->sources[0].name, "pl\"ant");
        c->findNode("MW10", &c->sources[0], true);
        c->findNode("!OFFLINE", &c->sources[0], true);
        c->findNode("a\"b;c", &c->sources[0], true);
        c->findNode("orphan", nullptr, true);
        return c;
    }

    TempDir dir_;
    std::string path_;
};

TEST_F(StatesTest, RoundTripKeepsEveryNodeIncludingQuotedKeys) {
    auto first = makeCoupler();
    Node* n = first->nodes;
    n[0].triggerTime = kFired;
    n[0].lastRead = kRead;
    n[0].readError = -3;
    n[0].value = 12.7;
    n[1].lastRead = kRead;
    n[1].value = 1;
    n[2].triggerTime = kFired;
    n[2].value = -4.2;
    first->writeStates();

    EXPECT_EQ(readFile(path_),
              "\"pl\"\"ant\";\"MW10\";2026-03-02 08:00:00;2026-03-02 09:02:03;-3;13\n"
              "\"pl\"\"ant\";\"!OFFLINE\";;2026-03-02 09:02:03;0;1\n"
              "\"pl\"\"ant\";\"a\"\"b;c\";2026-03-02 08:00:00;;0;-4\n"
              "\"\";\"orphan\";;;0;0\n");

    auto second = makeCoupler();
    second->readStates();
    Node* m = second->nodes;
    EXPECT_EQ(m[0].triggerTime, kFired);
    EXPECT_EQ(m[0].lastRead, kRead);
    EXPECT_EQ(m[0].readError, -3);
    EXPECT_EQ(m[0].value, 13.0);
    EXPECT_TRUE(m[0].active && m[0].sent);  // restored as fired and sent: not notified again
    EXPECT_EQ(m[1].triggerTime, 0);
    EXPECT_EQ(m[1].lastRead, kRead);
    EXPECT_FALSE(m[1].active || m[1].sent);
    EXPECT_EQ(m[2].triggerTime, kFired);
    EXPECT_EQ(m[2].value, -4.0);
    EXPECT_TRUE(m[2].active && m[2].sent);

    // Stable after the first rounding: reading and writing again changes nothing.
    second->writeStates();
    const std::string once = readFile(path_);
    auto third = makeCoupler();
    third->readStates();
    third->writeStates();
    EXPECT_EQ(readFile(path_), once);
}

TEST_F(StatesTest, HandEditedFileTakesEffectAndUnknownLinesAreDropped) {
    auto c = makeCoupler();
    Node* n = c->nodes;
    n[1].active = n[1].sent = true;  // an empty trigger field leaves these as they are
    n[1].triggerTime = 5;
    n[1].lastRead = 123;
    n[1].readError = 4;
    writeFile(path_,
              "# edited by hand\n"
              "\"PL\"\"ANT\";\"mw10\";2026-03-02T08:00:00;2026-03-02 09:02:03 extra;7;42.5\r\n"
              "\"pl\"\"ant\";\"!OFFLINE\";;not a time;x;\n"
              "\"pl\"\"ant\";\"a\"\"b;c\"\n"
              "\"pl\"\"ant\";\"gone\";2026-03-02 08:00:00;;0;9\n"
              "\"other\";\"MW10\";2026-03-02 08:00:00;;0;9\n");
    n[2].value = 77;
    n[2].lastRead = 99;
    c->readStates();

    EXPECT_EQ(n[0].triggerTime, kFired);  // "T" between date and time, case of the keys ignored
    EXPECT_EQ(n[0].lastRead, kRead);
    EXPECT_EQ(n[0].readError, 7);
    EXPECT_EQ(n[0].value, 42.5);
    EXPECT_TRUE(n[0].active && n[0].sent);
    EXPECT_EQ(n[1].triggerTime, 0);
    EXPECT_TRUE(n[1].active && n[1].sent);
    EXPECT_EQ(n[1].lastRead, 0);
    EXPECT_EQ(n[1].readError, 0);
    EXPECT_EQ(n[2].value, 0.0);  // only the two keys: everything else becomes 0
    EXPECT_EQ(n[2].lastRead, 0);

    c->writeStates();
    std::string rewritten = readFile(path_);
    EXPECT_EQ(testsupport::countOf(rewritten, "\n"), 4);
    EXPECT_EQ(rewritten.find("gone"), std::string::npos);
    EXPECT_EQ(rewritten.find("other"), std::string::npos);
}

TEST_F(StatesTest, MissingGarbageOrUnreadableFileLeavesNodesAsTheyWere) {
    auto c = makeCoupler();
    Node* n = c->nodes;
    n[0].value = 5;
    n[0].lastRead = kRead;
    n[0].triggerTime = kFired;
    n[0].active = true;

    c->readStates();  // no file yet

    const char controls[] = "\x01\x02;;\"\"\";\n;\n\"\n";
    const char withNul[] = "\"pl\"\"ant\"\0;\"MW10\";;;0;1\n";  // the line ends for the reader at the NUL
    std::string garbage(controls, sizeof controls - 1);
    garbage += std::string(withNul, sizeof withNul - 1);
    garbage += "\"pl\"\"ant\"\n";  // the source alone
    // A line longer than 5000 characters whose tail looks like a state line:
    // the tail is dropped, never read as a line of its own.
    garbage += std::string(6000, 'x') + "\"pl\"\"ant\";\"MW10\";;;0;1\n";
    writeFile(path_, garbage);
    c->readStates();

    struct stat st {};
    ASSERT_EQ(mkdir(dir_.file("adir").c_str(), 0755), 0);
    copyText(c->statesName, dir_.file("adir").c_str());
    c->readStates();
    c->writeStates();
    ASSERT_EQ(stat(dir_.file("adir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    c->statesName[0] = 0;
    c->readStates();
    c->writeStates();

    EXPECT_EQ(n[0].value, 5);
    EXPECT_EQ(n[0].lastRead, kRead);
    EXPECT_EQ(n[0].triggerTime, kFired);
    EXPECT_TRUE(n[0].active);
    EXPECT_FALSE(n[0].sent);
}

TEST_F(StatesTest, RewriteReplacesTheFileWholeOrNotAtAll) {
    const std::string previous = "\"pl\"\"ant\";\"MW10\";2026-03-02 08:00:00;;0;1\n";
    writeFile(path_, previous);
    chmod(path_.c_str(), 0640);
    auto c = makeCoupler();

    // A temporary file that cannot be created leaves the old file alone.
    ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0755), 0);
    c->writeStates();
    EXPECT_EQ(readFile(path_), previous);
    ASSERT_EQ(rmdir((path_ + ".tmp").c_str()), 0);

    // A write that fails half-way (here: the file size limit, as on a full
    // disk) also leaves the old file alone.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {20, 20};
        setrlimit(RLIMIT_FSIZE, &limit);
        c->writeStates();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(readFile(path_), previous);
    EXPECT_FALSE(testsupport::fileExists(path_ + ".tmp"));

    // A complete write replaces it, keeps its permissions and leaves no temporary behind.
    c->writeStates();
    EXPECT_EQ(testsupport::countOf(readFile(path_), "\n"), 4);
    EXPECT_FALSE(testsupport::fileExists(path_ + ".tmp"));
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // A states file that is a link stays a link; the file it points to is replaced.
    const std::string target = dir_.file("elsewhere.csv");
    ASSERT_EQ(rename(path_.c_str(), target.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    c->nodes[0].value = 321;
    c->writeStates();
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(readFile(target).find(";321\n"), std::string::npos);

    // With no node loaded (configuration file missing) the states are kept.
    Coupler empty;
    copyText(empty.statesName, path_.c_str());
    empty.writeStates();
    EXPECT_NE(readFile(target).find(";321\n"), std::string::npos);
}

}  // namespace
