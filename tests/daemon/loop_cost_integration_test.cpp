// What the idle loop costs: the configuration watch wakes only for the file
// itself, the wait for a cycle ends once at the turn of its second, the
// states file is not rewritten for read times alone, and a device that
// refuses connections is not asked again at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "base/Clock.h"
#include "base/ConfigWatch.h"
#include "support/TestSupport.h"

using namespace testsupport;

TEST(LoopCost, TheWatchWakesForTheFileAndNotForItsNeighbours) {
    TempDir dir;
    std::string ini = dir.file("c.ini");
    writeFile(ini, "coupler;runmode;cycle\n");
    writeFile(dir.file("neighbour.log"), "");
    ConfigWatch watch(ini);
    ASSERT_TRUE(watch.watching());

    // Another process appending to and reading a neighbour file.
    for (int i = 0; i < 50; ++i) {
        FILE* log = std::fopen(dir.file("neighbour.log").c_str(), "a");
        ASSERT_NE(log, nullptr);
        std::fputs("a line\n", log);
        std::fclose(log);
        readFile(dir.file("neighbour.log"));
    }
    readFile(ini);  // a read of the file itself is no change either
    EXPECT_FALSE(watch.wait(200));
    EXPECT_EQ(watch.wakeups(), 0) << "neighbour writes and reads woke the loop";
    EXPECT_FALSE(watch.takeFileChange()) << "the file's status is taken only when it may have changed";

    // Cycles that follow each other (readinterval 0) never wait: the change is known without a wait.
    writeFile(ini, "coupler;runmode;single\n");
    EXPECT_TRUE(watch.takeFileChange()) << "a write of the file";
    EXPECT_FALSE(watch.takeFileChange()) << "said once";
    // Saved by rename, as editors do; the watch then follows the new file.
    writeFile(dir.file("c.ini.new"), "coupler;runmode;cycle\n");
    ASSERT_EQ(std::rename(dir.file("c.ini.new").c_str(), ini.c_str()), 0);
    EXPECT_TRUE(watch.wait(1000)) << "a rename over the file";
    while (watch.wait(100)) {
    }
    writeFile(ini, "coupler;runmode;single\n");
    EXPECT_TRUE(watch.wait(1000)) << "a write of the file that replaced it";

    // The request folder: the program's own answers do not wake it, a request does.
    ASSERT_EQ(mkdir(dir.file("requests").c_str(), 0700), 0);
    ASSERT_TRUE(watch.watchArrivals(dir.file("requests"), ".request"));
    auto arrive = [&](const std::string& name) {
        writeFile(dir.file(".new"), "");
        return std::rename(dir.file(".new").c_str(), dir.file("requests/" + name).c_str()) == 0;
    };
    ASSERT_TRUE(arrive("a.request"));
    EXPECT_TRUE(watch.wait(1000) && watch.takeArrivals());
    ASSERT_TRUE(arrive("a.answer"));
    EXPECT_FALSE(watch.wait(300)) << "an answer woke the loop";
    EXPECT_FALSE(watch.takeArrivals());
}

TEST(LoopCost, TheWaitForACycleEndsOnceAtTheTurnOfItsSecond) {
    TempDir dir;
    ConfigWatch watch(dir.file("c.ini"));
    for (int turn = 0; turn < 2; ++turn) {
        int64_t second = currentTime() + 1;
        watch.wakeAtSecond(second);
        EXPECT_TRUE(watch.wait(1000)) << "the timer, not the time-out, ends the wait";
        // The clock the cycle timer reads must show the new second at once,
        // or the loop wakes again and again until it does.
        EXPECT_GE(currentTime(), second);
        EXPECT_FALSE(watch.wait(20)) << "an expired timer that is not taken wakes every wait";
    }
}

// readinterval 1 against the plant: the read times alone change, so the
// running program leaves the file as its first cycle wrote it, and its stop
// writes the latest.
TEST(LoopCost, ReadTimesReachTheStatesFileAtTheStopAndNotEverySecond) {
    TempDir dir;
    int port = freeLoopbackPort();
    Process plant;
    ASSERT_TRUE(plant.start({binaryPath("tools/plantsim/plantsim"), "--port", std::to_string(port), "--speed",
                             "0", "--lifetime", "60"},
                            dir.file("plantsim.log")));
    ASSERT_TRUE(waitForPort(port, 10000));
    writeFile(dir.file("c.ini"),
              "coupler;readinterval;1\ncoupler;loglevel;9\nsource;plant\nadr;modbus;tcp:127.0.0.1:" +
                  std::to_string(port) + "\nnode;a;400002;threshold {{*}};alarm;O:65535\n");
    Process zentok;
    std::string log = dir.file("out.log");
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "c.ini"}, log, dir.path()));
    const std::string states = dir.file("zentok_states.csv");
    auto cycles = [&] { return countOf(contentOf(log), "readinterval 1s completed"); };
    ASSERT_TRUE(waitUntil([&] { return fileExists(states) && cycles() >= 1; }, 10000)) << contentOf(log);
    const std::string first = readFile(states);
    int seen = cycles();
    ASSERT_TRUE(waitUntil([&] { return cycles() >= seen + 3; }, 15000)) << contentOf(log);
    EXPECT_EQ(readFile(states), first) << "rewritten for read times alone";
    zentok.stop();
    std::string last = readFile(states);
    ASSERT_EQ(last.size(), first.size()) << last;
    EXPECT_GT(last, first) << "the stop writes the latest read time";
}

// A read interval of 0 against a port nobody listens on: every connect is
// refused at once. Each attempt prints one "-Connect" line at log level 1.
TEST(LoopCost, ARefusingDeviceIsAskedAgainOnlyAfterABackOff) {
    TempDir dir;
    writeFile(dir.file("c.ini"), "coupler;loglevel;1\nsource;plant\nadr;modbus;tcp:127.0.0.1:" +
                                     std::to_string(freeLoopbackPort()) +
                                     "\nnode;a;!OFFLINE;down;alarm;N\nnode;a;400001;high;alarm;O:1\n");
    Process zentok;
    std::string log = dir.file("out.log");
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "c.ini"}, log, dir.path()));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    zentok.stop();
    int attempts = countOf(readFile(log), "-Connect (127.0.0.1:");
    EXPECT_GE(attempts, 1);
    // A back-off from 250 ms, doubling: about four attempts in two seconds.
    EXPECT_LE(attempts, 8) << "connects back to back";
}
