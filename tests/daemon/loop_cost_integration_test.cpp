// What the idle loop costs: the configuration watch wakes only for the file
// itself, and a device that refuses connections is not asked again at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

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

    writeFile(ini, "coupler;runmode;single\n");
    EXPECT_TRUE(watch.wait(1000)) << "a write of the file";
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
