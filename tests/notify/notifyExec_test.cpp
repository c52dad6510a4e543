// The command channel against small shell scripts: what the program gets
// (arguments, environment, standard input), which ends count as delivered,
// and that a hanging, missing or chatty program costs one clear line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "base/Text.h"
#include "notify/ChannelWork.h"
#include "notify/CommandRun.h"
#include "notify/NoticeFields.h"
#include "notify/channels/ExecChannel.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

using State = Delivery::State;

class ExecChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        notification_.sourceName = "plantA";
        notification_.address = "400001";
        notification_.value = 42;
        notification_.triggerTime = 1700000000;
    }
    void TearDown() override { setCommandTimeLimitForTesting(0); }

    std::string script(const std::string& name, const std::string& body, mode_t mode = 0755) {
        std::string path = dir_.file(name);
        writeFile(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), mode);
        return path;
    }

    // One hand-over, waited for until it settles.
    State run(const std::string& addressLine, const char* text, std::string* printed) {
        std::string rest = addressLine;
        ExecChannel channel(&rest[0], "ops");
        EXPECT_EQ(channel.addressFault(), "");
        auto delivery = std::make_shared<Delivery>("ops#0");
        StdoutCapture capture;
        EXPECT_TRUE(channel.notify(withText(notification_, text), delivery));
        for (int i = 0; i < 2000 && (!delivery->settled() || channelWorkPending() > 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        *printed = capture.stop();
        return delivery->state();
    }

    TempDir dir_;
    Notification notification_;
};

}  // namespace

TEST_F(ExecChannelTest, ProgramGetsArgumentsEnvironmentAndText) {
    std::string out = dir_.file("seen.txt");
    std::string program =
        script("hand-on", "{ echo \"args $*\"; env | grep '^ZENTOK_' | sort; echo stdin; cat; } > " + out +
                              "\necho handed on\n");
    std::string printed;
    EXPECT_EQ(run(program + " --tag  alarm", "Pump 3 \"failed\"\nsecond line", &printed), State::Delivered);
    std::string seen = readFile(out);
    EXPECT_NE(seen.find("args --tag alarm\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("ZENTOK_RECEIVER=ops\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("ZENTOK_SOURCE=plantA\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("ZENTOK_NODE=400001\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("ZENTOK_VALUE=42\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("ZENTOK_KIND=message\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("ZENTOK_TRIGGER_TIME=" + isoLocalTime(1700000000) + "\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("stdin\nPump 3 \"failed\"\nsecond line"), std::string::npos) << seen;
    EXPECT_NE(printed.find("notifyExec, receiver ops: handed on\n"), std::string::npos) << printed;
}

TEST_F(ExecChannelTest, NonZeroExitAndHangingProgramFail) {
    std::string printed;
    std::string refuses = script("refuses", "echo quota exceeded\nexit 1\n");
    EXPECT_EQ(run(refuses, "text", &printed), State::Failed);
    EXPECT_NE(printed.find("notifyExec, receiver ops: quota exceeded\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("notifyExec, receiver ops, err 'exit status 1', program '" + refuses + "'"),
              std::string::npos)
        << printed;

    // A program that never ends, and a child it left behind holding the
    // output open, are killed at the limit.
    setCommandTimeLimitForTesting(300);
    std::string hangs = script("hangs", "sleep 60 &\nsleep 60\n");
    EXPECT_EQ(run(hangs, "text", &printed), State::Failed);
    EXPECT_NE(printed.find("err 'no end within 300 ms, killed', program '" + hangs + "'"), std::string::npos)
        << printed;
}

TEST_F(ExecChannelTest, MissingSilentOrChattyProgramGivesOneLine) {
    std::string printed;
    std::string missing = dir_.file("no-such-program");
    EXPECT_EQ(run(missing, "text", &printed), State::Failed);
    EXPECT_EQ(countOf(printed, "err 'cannot run: No such file or directory', program '" + missing + "'"), 1)
        << printed;

    std::string notExecutable = script("plain-file", "exit 0\n", 0644);
    EXPECT_EQ(run(notExecutable, "text", &printed), State::Failed);
    EXPECT_EQ(countOf(printed, "err 'cannot run: Permission denied', program '" + notExecutable + "'"), 1)
        << printed;

    // Megabytes of output: the console gets its first part and one line
    // for the rest; a program that does not read its input is no failure.
    std::string chatty = script("chatty", "head -c 3000000 /dev/zero | tr '\\0' x\n");
    EXPECT_EQ(run(chatty, std::string(7999, 't').c_str(), &printed), State::Delivered);
    EXPECT_NE(printed.find("notifyExec, receiver ops: 2995904 more bytes of output left out"),
              std::string::npos)
        << printed.substr(printed.size() > 400 ? printed.size() - 400 : 0);
}

// At a stop a program that ignores SIGTERM is killed with what it started,
// and the next of its lane is not started: none of them outlives the daemon
// to run again at its next start.
TEST_F(ExecChannelTest, AStopKillsTheProgramsUnderWayAndStartsNoMore) {
    std::string started = dir_.file("started.txt");
    std::string stubborn = script("stubborn", "trap '' TERM\nsleep 60 &\necho $! >> " + started + "\nwait\n");
    std::string rest = stubborn;
    ExecChannel channel(&rest[0], "ops");
    DeliveryHandle runs[] = {std::make_shared<Delivery>("ops#0"), std::make_shared<Delivery>("ops#0")};
    StdoutCapture capture;
    for (const DeliveryHandle& delivery : runs) EXPECT_TRUE(channel.notify(notification_, delivery));
    ASSERT_TRUE(waitUntil([&] { return fileExists(started) && !readFile(started).empty(); }, 10000));
    endRunningCommands();
    EXPECT_TRUE(waitUntil([&] { return channelWorkPending() == 0; }, 10000));
    resumeCommands();
    std::string printed = capture.stop();
    EXPECT_NE(printed.find("err 'killed by signal 9'"), std::string::npos) << printed;
    EXPECT_NE(printed.find("err 'not started: stopping'"), std::string::npos) << printed;
    // What it started dies with it (a zombie of no parent here counts as gone).
    std::string child = "/proc/" + readFile(started).substr(0, readFile(started).find('\n')) + "/stat";
    EXPECT_TRUE(waitUntil(
        [&] { return !fileExists(child) || readFile(child).find(") Z ") != std::string::npos; }, 5000))
        << readFile(child);
}
