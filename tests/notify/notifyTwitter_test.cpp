// The Twitter channel without the service: the keys file and the target rules.
// No keys are present while channels are made here, so nothing is sent.
#include <gtest/gtest.h>

#include <string>

#include "cycle/Coupler.h"
#include "notify/channels/TwitterChannel.h"
#include "support/TestSupport.h"
#include "support/WorkingDirectory.h"

using namespace testsupport;

namespace {

class TwitterKeysTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(cwd.enter(dir.path())); }
    void TearDown() override { cwd.leave(); }
    void keys(const std::string& content) { writeFile(dir.file("BrimselKeys.ini"), content); }

    TempDir dir;
    WorkingDirectory cwd;
    TwitterKeys read;  // what readTwitterKeys has filled in
};

std::string targetOf(const char* rest) {
    std::string copy = rest ? rest : "";
    TwitterChannel channel(rest ? &copy[0] : nullptr);
    return channel.targetName();
}

}  // namespace

TEST_F(TwitterKeysTest, FirstLineThreeFields) {
    readTwitterKeys(&read);  // no file: nothing
    EXPECT_STREQ(read.token, "");

    keys("main account;123-abc;s3cret;ignored\r\nother;999;888\n");
    readTwitterKeys(&read);
    EXPECT_STREQ(read.token, "123-abc");
    EXPECT_STREQ(read.secret, "s3cret");

    // Both set: the file is not read again.
    keys("x;new;newer\n");
    readTwitterKeys(&read);
    EXPECT_STREQ(read.token, "123-abc");

    // One missing: both are taken from the file again.
    read.secret[0] = 0;
    readTwitterKeys(&read);
    EXPECT_STREQ(read.token, "new");
    EXPECT_STREQ(read.secret, "newer");
}

TEST_F(TwitterKeysTest, StopsAtTheFirstMissingField) {
    keys("label;tokenOnly\n");
    readTwitterKeys(&read);
    EXPECT_STREQ(read.token, "tokenOnly");
    EXPECT_STREQ(read.secret, "");

    read = TwitterKeys{};
    keys("label;tok;\n");  // a trailing separator is not an empty third field
    readTwitterKeys(&read);
    EXPECT_STREQ(read.token, "tok");
    EXPECT_STREQ(read.secret, "");

    read = TwitterKeys{};
    keys("only a label\n");
    readTwitterKeys(&read);
    EXPECT_STREQ(read.token, "");

    read = TwitterKeys{};
    keys("");
    readTwitterKeys(&read);
    EXPECT_STREQ(read.token, "");
}

TEST_F(TwitterKeysTest, QuotedAndOverlongFields) {
    keys("\"my;label\";\"to;k\"\"en\";\"sec ret\"\n");
    readTwitterKeys(&read);
    EXPECT_STREQ(read.token, "to;k\"en");
    EXPECT_STREQ(read.secret, "sec ret");

    read = TwitterKeys{};
    keys("l;" + std::string(150, 'T') + ";" + std::string(140, 'S') + "\n");
    readTwitterKeys(&read);
    EXPECT_EQ(std::string(read.token), std::string(100, 'T'));
    EXPECT_EQ(std::string(read.secret), std::string(100, 'S'));

    // Only 299 characters of the first line are read: the secret beyond is lost.
    read = TwitterKeys{};
    keys("l;" + std::string(296, 'T') + ";secret\n");
    readTwitterKeys(&read);
    EXPECT_EQ(std::string(read.token), std::string(100, 'T'));
    EXPECT_STREQ(read.secret, "");
}

TEST_F(TwitterKeysTest, TargetRules) {
    EXPECT_EQ(targetOf(nullptr), "");
    EXPECT_EQ(targetOf(""), "");
    EXPECT_EQ(targetOf(" @bob"), "@bob");
    EXPECT_EQ(targetOf("bob"), "@bob");
    EXPECT_EQ(targetOf("@bob;ignored"), "@bob");
    EXPECT_EQ(targetOf("!!!"), "");
    EXPECT_EQ(targetOf("  # 42"), "@42");
    EXPECT_EQ(targetOf("\"al;ice\""), "@al;ice");
    EXPECT_EQ(targetOf(std::string(150, 'x').c_str()), "@" + std::string(98, 'x'));
    EXPECT_EQ(targetOf(("@" + std::string(150, 'y')).c_str()), "@" + std::string(98, 'y'));
}

TEST_F(TwitterKeysTest, WithoutKeysTheChannelStaysSilent) {
    keys("label;tokenOnly\n");
    char rest[] = "bob";
    TwitterChannel channel(rest);
    EXPECT_FALSE(channel.isReady());
    Notification node;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(channel.notify(withText(node, "Alarm")));
    EXPECT_FALSE(channel.notify(withText(node, "Alarm")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
