// The operator's requests as the running program meets them: files from the
// outside, read strictly, each answered and removed; and the marks they leave
// in the states file, which a file of an older version still loads beside.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/OperatorRequest.h"
#include "cycle/StatesFile.h"
#include "support/TestSupport.h"
#include "support/WorkingDirectory.h"

using namespace testsupport;

namespace {

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
        valid() + "command=shelve\n",                                   // a field twice
        valid() + "colour=red\n",                                       // unknown field
        valid() + "seconds=99999999\n",                                 // beyond a week
        valid() + "seconds=-5\n",                                       // no whole number
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
    std::string answerTo(const std::string& name, const std::string& text) {
        writeFile(std::string(kRequestFolder) + "/" + name + kRequestSuffix, text);
        serveOperatorRequests(coupler_);
        EXPECT_FALSE(fileExists(std::string(kRequestFolder) + "/" + name + kRequestSuffix)) << "removed";
        return contentOf(std::string(kRequestFolder) + "/" + name + kAnswerSuffix);
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
    EXPECT_NE(states.find(";\"alice\";\"on my way\";;\"\";\n"), std::string::npos) << states;
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
    EXPECT_STREQ(again.nodes[0].ack.by, "alice");
    writeFile("old.csv", "\"plant\";\"400001\";2026-03-02 08:00:00;;0;160\n");
    file = std::fopen("old.csv", "r");
    readStatesFrom(again, file);
    std::fclose(file);
    EXPECT_FALSE(again.nodes[0].acknowledged());
    EXPECT_EQ(renderStates(again).find("alice"), std::string::npos);
}

}  // namespace
