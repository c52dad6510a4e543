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
#include <functional>
#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
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

// A node that keeps decimals writes its value so that it reads back as the
// very same double: a D condition then compares what was read, and an
// unchanged reading is no difference.
TEST_F(StatesTest, DecimalsOfATypedOrScaledNodeComeBackExactly) {
    auto first = makeCoupler(), second = makeCoupler();
    first->nodes[0].scaled = second->nodes[0].scaled = true;
    first->nodes[0].value = 1.0 / 3;
    first->writeStates();
    EXPECT_NE(readFile(path_).find(";0;0.3333333333333333\n"), std::string::npos) << readFile(path_);
    second->readStates();
    EXPECT_EQ(second->nodes[0].value, 1.0 / 3);
}

TEST_F(StatesTest, HandEditedFileTakesEffectAndUnknownLinesAreKept) {
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

    // Lines of nodes this configuration lacks go back unchanged behind the nodes.
    c->writeStates();
    std::string rewritten = readFile(path_);
    EXPECT_EQ(testsupport::countOf(rewritten, "\n"), 6);
    EXPECT_NE(rewritten.find("\n\"pl\"\"ant\";\"gone\";2026-03-02 08:00:00;;0;9\n"
                             "\"other\";\"MW10\";2026-03-02 08:00:00;;0;9\n"),
              std::string::npos);
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
    chmod(path_.c_str(), 0600);
    auto c = makeCoupler();

    // Where no temporary file can be placed (a read-only directory, a bind
    // mount) the file is rewritten in place.
    ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0755), 0);
    c->writeStates();
    const std::string inPlace = readFile(path_);
    EXPECT_EQ(testsupport::countOf(inPlace, "\n"), 4);
    ASSERT_EQ(rmdir((path_ + ".tmp").c_str()), 0);
    c->nodes[0].value = 7;

    // A write that fails half-way (here: the file size limit, as on a full
    // disk) also leaves the old file alone.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            20, 20
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        c->writeStates();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(readFile(path_), inPlace);
    EXPECT_FALSE(testsupport::fileExists(path_ + ".tmp"));

    // A complete write replaces it, readable by the operators' group whatever
    // mode it had, and leaves no temporary behind.
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

TEST_F(StatesTest, NodesSharingAKeyKeepTheirOwnLinesAndRetainedLinesAreBounded) {
    // A high and a low alarm on one register: each gets its own state back.
    auto first = makeCoupler();
    Node* low = first->findNode("MW10", &first->sources[0], false);
    Node* high = &first->nodes[first->nodeCount];
    *high = *low;
    first->nodeCount++;
    high->triggerTime = kFired;
    high->value = 90;
    low->value = 10;
    first->writeStates();

    // Beyond them, 120 lines of nodes that are gone: 100 stay, the oldest firings first out.
    std::string file = readFile(path_);
    for (int i = 0; i < 120; ++i) {
        char fired[32] = "";  // one second later for each line, none for the first ten
        if (i >= 10) std::snprintf(fired, sizeof fired, "2026-03-02 08:%02d:%02d", 10 + i / 60, i % 60);
        file +=
            "\"pl\"\"ant\";\"gone" + std::to_string(i) + "\";" + fired + ";;0;" + std::to_string(i) + "\n";
    }
    writeFile(path_, file);

    auto second = makeCoupler();
    Node* secondLow = &second->nodes[0];
    Node* secondHigh = &second->nodes[second->nodeCount];
    *secondHigh = *secondLow;
    second->nodeCount++;
    second->readStates();
    EXPECT_EQ(secondLow->triggerTime, 0);
    EXPECT_EQ(secondLow->value, 10);
    EXPECT_EQ(secondHigh->triggerTime, kFired);
    EXPECT_EQ(secondHigh->value, 90);
    ASSERT_EQ(second->retainedStates.size(), 100u);
    second->writeStates();
    const std::string kept = readFile(path_);
    EXPECT_EQ(kept.find("\"gone9\""), std::string::npos);   // never fired: first to go
    EXPECT_EQ(kept.find("\"gone19\""), std::string::npos);  // the oldest firings next
    EXPECT_NE(kept.find("\"gone30\""), std::string::npos);
    EXPECT_NE(kept.find("\"gone119\""), std::string::npos);
}

TEST_F(StatesTest, UnchangedStatesLeaveTheFileUntouched) {
    auto c = makeCoupler();
    c->nodes[0].value = 1;
    c->writeStates();
    struct stat before {};
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    for (int cycle = 0; cycle < 3; ++cycle) {
        c->readStates();
        c->writeStates();
    }
    struct stat after {};
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    c->nodes[0].triggerTime = kFired;  // a firing is written at once
    c->writeStates();
    EXPECT_NE(readFile(path_).find("2026-03-02 08:00:00"), std::string::npos);

    // The same coupler still takes a hand edit at its next read.
    std::string edited = readFile(path_);
    edited.replace(edited.find(";0;1\n"), 5, ";0;42\n");
    writeFile(path_, edited);
    c->readStates();
    EXPECT_EQ(c->nodes[0].value, 42);
}

// Read every second, the read times alone would replace the file every
// second; they wait a minute, while every other change is written at once
// and carries the latest read times with it.
TEST_F(StatesTest, ReadTimesAloneWaitAMinuteAndCarryOverWithAnyOtherChange) {
    auto c = makeCoupler();
    Node& node = c->nodes[0];
    node.lastRead = kRead;
    c->writeStates();
    struct Change {
        std::function<void(Node&)> apply;
        const char* line;  // the node's line in the file, from its trigger time on
    };
    const Change changes[] = {
        {[](Node&) {}, ";2026-03-02 09:02:03;0;0"},  // a read time alone waits
        {[](Node& n) { n.value = 7; }, ";2026-03-02 09:02:05;0;7"},
        {[](Node& n) { n.readError = -3; }, ";2026-03-02 09:02:06;-3;7"},
        {[](Node& n) { n.triggerTime = kFired; }, "2026-03-02 08:00:00;2026-03-02 09:02:07;-3;7"},
        {[](Node&) {}, "2026-03-02 08:00:00;2026-03-02 09:02:07;-3;7"},
    };
    for (const Change& change : changes) {
        node.lastRead += 1;  // each cycle reads the node
        change.apply(node);
        c->writeStates();
        EXPECT_NE(readFile(path_).find(std::string("\"MW10\";") + change.line + "\n"), std::string::npos)
            << readFile(path_);
    }
    setSteadyOffsetForTesting(60000);  // a minute later the read times are written
    c->writeStates();
    setSteadyOffsetForTesting(0);
    EXPECT_NE(readFile(path_).find(";2026-03-02 09:02:08;-3;7\n"), std::string::npos) << readFile(path_);
}

TEST_F(StatesTest, FailingWritesKeepTheDecidedStateInMemoryAndSayItOnce) {
    writeFile(path_, "\"pl\"\"ant\";\"MW10\";;;0;1\n");
    const std::string output = dir_.file("output.txt");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!freopen(output.c_str(), "w", stdout)) _exit(90);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit full {
            20, RLIM_INFINITY
        };  // as a full disk: every write of the file fails
        setrlimit(RLIMIT_FSIZE, &full);
        auto c = makeCoupler();
        c->readStates();
        c->nodes[0].triggerTime = kFired;
        c->writeStates();
        c->nodes[0].value = 99;
        c->writeStates();
        // A reload while the disk is full: the firing comes from the run's
        // memory, which the next configuration takes over, not from the stale file.
        auto reloaded = makeCoupler();
        reloaded->statesMemory = c->statesMemory;
        reloaded->readStates();
        int failures = reloaded->nodes[0].triggerTime == kFired ? 0 : 1;
        struct rlimit room {
            RLIM_INFINITY, RLIM_INFINITY
        };
        setrlimit(RLIMIT_FSIZE, &room);
        reloaded->writeStates();
        std::fflush(stdout);
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string printed = readFile(output);
    EXPECT_EQ(testsupport::countOf(printed, "not writable"), 1) << printed;
    EXPECT_EQ(testsupport::countOf(printed, "written again"), 1) << printed;
    EXPECT_NE(readFile(path_).find("2026-03-02 08:00:00;;0;99"), std::string::npos);
}

}  // namespace
