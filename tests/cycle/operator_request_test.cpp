// The operator's requests as the running program meets them: files from the
// outside, read strictly, each answered and removed; and the marks they leave
// in the states file, which a file of an older version still loads beside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/OperatorRequest.h"
#include "cycle/StatesFile.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"
#include "support/WorkingDirectory.h"

using namespace testsupport;

namespace {

std::string me() {
    const passwd* entry = getpwuid(getuid());
    return entry ? entry->pw_name : std::to_string(getuid());
}

std::string valid() {
    return formatRequest({"ack", "400001", "alice", "on my way", 0});
}

TEST(OperatorRequest, OnlyAWellFormedBoundedRequestIsRead) {
    OperatorRequest request;
    std::string why;
    ASSERT_TRUE(parseRequest(valid(), &request, &why)) << why;
    EXPECT_EQ(request.by, "alice");
    EXPECT_EQ(request.note, "on my way");
    const std::string bad[] = {
        "",
        "GET / HTTP/1.1\n",
        valid() + "command=shelve\n",    // a field twice
        valid() + "colour=red\n",        // unknown field
        valid() + "seconds=99999999\n",  // beyond a week
        valid() + "seconds=-5\n",        // no whole number
        valid() + "time=soon\n",
        valid() + "episode=1234567890123\n",                            // beyond any date
        formatRequest({"ack", "400001", "alice", "tab\there", 0}),      // a control character
        formatRequest({"ack", "400001", std::string(64, 'a'), "", 0}),  // a name too long
        formatRequest({"ack", "400001", "", "", 0}),                    // nobody acknowledges
        formatRequest({"shelve", "400001", "", "", 0}),                 // no time
        formatRequest({"reboot", "400001", "alice", "", 0}),
        valid() + "note",  // unfinished line
        valid() + std::string(3000, 'x') + "\n",
    };
    for (const std::string& text : bad) EXPECT_FALSE(parseRequest(text, &request, &why)) << text;
    for (const char* name : {"../x.request", ".hidden.request", "a b.request", "a.answer", ".request"})
        EXPECT_FALSE(isRequestName(name)) << name;
    EXPECT_TRUE(isRequestName("0001765100000123-42-0a1b2c3d.request"));
}

class OperatorFolder : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(cwd_.enter(dir_.path()));
        prepareRequestFolder();
        coupler_.sourceCount = 1;
        copyText(coupler_.sources[0].name, "plant");
        Node* node = coupler_.findNode("400001", &coupler_.sources[0], true);
        node->active = node->sent = true;
        node->triggerTime = 1772434800;
        coupler_.findNode("400001", nullptr, true);  // a second node of one address: "400001#2"
        coupler_.nodes[1].source = &coupler_.sources[0];
    }
    std::string answerTo(const std::string& name, const std::string& text, int64_t fileAge = 0) {
        writeFile(std::string(kRequestFolder) + "/" + name + kRequestSuffix, text);
        if (fileAge) age(std::string(kRequestFolder) + "/" + name + kRequestSuffix, fileAge);
        serveOperatorRequests(coupler_);
        EXPECT_FALSE(fileExists(std::string(kRequestFolder) + "/" + name + kRequestSuffix)) << "removed";
        return contentOf(std::string(kRequestFolder) + "/" + name + kAnswerSuffix);
    }

    static void age(const std::string& path, int64_t seconds) {
        timespec times[2] = {{currentTime() - seconds, 0}, {currentTime() - seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    TempDir dir_;
    WorkingDirectory cwd_;
    Coupler coupler_;
};

TEST_F(OperatorFolder, EachRequestIsAnsweredAndRemovedAndTheAckIsRecorded) {
    EXPECT_EQ(answerTo("1-damaged", "zentok request 1\nnode=\x01\n").substr(0, 25),
              "refused\nrequest refused: ");
    EXPECT_EQ(answerTo("2-unknown", formatRequest({"ack", "400009", "bob", "", 0})).substr(0, 11),
              "refused\nno ");
    EXPECT_EQ(answerTo("3-second", formatRequest({"ack", "400001#2", "bob", "", 0})).substr(0, 8),
              "refused\n");
    // A link where the answer goes is replaced, not written through.
    writeFile("victim", "keep");
    ASSERT_EQ(symlink("../victim", (std::string(kRequestFolder) + "/4-ack" + kAnswerSuffix).c_str()), 0);
    EXPECT_EQ(answerTo("4-ack", valid()).substr(0, 3), "ok\n");
    EXPECT_EQ(readFile("victim"), "keep");
    EXPECT_TRUE(coupler_.nodes[0].acknowledged());
    std::string states = readFile("zentok_states.csv");
    // Beside the name given, who the system says wrote the request.
    EXPECT_NE(states.find(";\"alice\";\"on my way\";;\"\";;\"" + me() + "\"\n"), std::string::npos) << states;
    EXPECT_NE(states.find("\"400001\";;;0;0\n"), std::string::npos) << "no marks, no further fields";

    // The line reads back; a line of an older version (no marks) clears them.
    Coupler again;
    again.sourceCount = 1;
    copyText(again.sources[0].name, "plant");
    again.findNode("400001", &again.sources[0], true);
    FILE* file = std::fopen("zentok_states.csv", "r");
    readStatesFrom(again, file);
    std::fclose(file);
    EXPECT_TRUE(again.nodes[0].acknowledged());
    EXPECT_EQ(again.nodes[0].ack.by, "alice");
    EXPECT_EQ(again.nodes[0].ack.owner, me());
    writeFile("old.csv", "\"plant\";\"400001\";2026-03-02 08:00:00;;0;160\n");
    file = std::fopen("old.csv", "r");
    readStatesFrom(again, file);
    std::fclose(file);
    EXPECT_FALSE(again.nodes[0].acknowledged());
    EXPECT_EQ(renderStates(again).find("alice"), std::string::npos);
}

// A request carries when it was made and the alarm it was made for: one that
// waited too long is dropped, an ack of an ended alarm leaves the next one
// alone, and a shelve runs from when it was asked for.
TEST_F(OperatorFolder, ARequestCountsFromItsTimeAndAnswersOnlyItsEpisode) {
    const int64_t now = currentTime(), raised = coupler_.nodes[0].triggerTime;
    coupler_.maxShelveSeconds = 8 * 3600;
    auto made = [](const char* command, int seconds, int64_t time, int64_t episode) {
        return formatRequest({command, "400001", "bob", "", seconds, time, episode});
    };
    const struct {
        const char* name;
        std::string text;
        int64_t fileAge;
        const char* answer;
    } rows[] = {
        {"1-stale", made("ack", 0, now - 7200, raised), 0, "refused\nrequest made "},
        {"2-old-form", valid(), 7200, "refused\nrequest made "},  // no time: the file's age counts
        {"3-ended", made("ack", 0, now - 60, raised - 600), 0, "refused\nnode 400001: the alarm raised "},
        {"4-ran-out", made("shelve", 60, now - 120, 0), 0, "refused\nnode 400001: the shelve asked for "},
        {"5-shelve", made("shelve", 600, now - 300, 0), 0, "ok\nnode 400001: shelved until"},
        {"6-ack", made("ack", 0, now - 10, raised), 0, "ok\nnode 400001: acknowledged by bob"},  // not before
    };
    for (const auto& row : rows) {
        std::string answer = answerTo(row.name, row.text, row.fileAge);
        EXPECT_EQ(answer.substr(0, std::strlen(row.answer)), row.answer) << row.name << answer;
    }
    EXPECT_NEAR(coupler_.nodes[0].shelve.until, now + 300, 2) << "counted from the request";
}

// Anyone who may write the folder can put anything there: only plain files
// are requests, the rest is said once and left alone without starving the
// requests behind it, and a folder that is a link is not followed.
TEST_F(OperatorFolder, OnlyPlainFilesAreRequestsAndALinkedFolderIsNotFollowed) {
    const std::string folder = std::string(kRequestFolder) + "/";
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(mkdir((folder + "0-dir" + std::to_string(i) + ".request").c_str(), 0700), 0);
    writeFile("victim", "keep");
    ASSERT_EQ(symlink("../victim", (folder + "1-link.request").c_str()), 0);
    ASSERT_EQ(mkfifo((folder + "2-pipe.request").c_str(), 0600), 0);
    writeFile(folder + "3-ack.request", valid());
    std::string said = captured([&] {
        serveOperatorRequests(coupler_);
        serveOperatorRequests(coupler_);
    });
    EXPECT_EQ(contentOf(folder + "3-ack.answer").substr(0, 3), "ok\n") << "served behind 20 directories";
    for (const char* line : {"'0-dir7.request' is a directory,", "'1-link.request' is a symbolic link,",
                             "'2-pipe.request' is a pipe,"})
        EXPECT_EQ(countOf(said, line), 1) << line << said;
    EXPECT_FALSE(fileExists(folder + "0-dir7.answer")) << "no answer: nothing for the watch to wake on";
    EXPECT_EQ(readFile("victim"), "keep");

    // The folder replaced by a link to another one: nothing there is read or removed.
    ASSERT_EQ(rename(kRequestFolder, "elsewhere"), 0);
    ASSERT_EQ(symlink("elsewhere", kRequestFolder), 0);
    coupler_.nodes[0].ack = Acknowledgement{};
    writeFile("elsewhere/4-ack.request", valid());
    writeFile("elsewhere/old.answer", "keep");
    age("elsewhere/old.answer", 7200);
    said = captured([&] { serveOperatorRequests(coupler_); });
    EXPECT_NE(said.find("is a symbolic link or no folder: not followed"), std::string::npos) << said;
    EXPECT_TRUE(fileExists("elsewhere/4-ack.request"));
    EXPECT_TRUE(fileExists("elsewhere/old.answer"));
    EXPECT_FALSE(coupler_.nodes[0].acknowledged());
}

}  // namespace
