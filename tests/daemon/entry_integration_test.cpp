// Black-box runs of build/zentok: banner, command line, default path, error
// messages, run modes and the reload of a changed configuration file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "base/Records.h"
#include "support/TestSupport.h"

using namespace testsupport;

TEST(Entry, PrintsBannerAndRunsOneCycleInSingleMode) {
    TempDir dir;
    writeFile(dir.file("a.ini"), "coupler;runmode;single\n");
    RunResult r = runZentokIn(dir.path(), {"-i", "a.ini"});
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output.rfind("Zentok\nLimits: 1 sources, 250 nodes, 50 dir, 50 receiver\nInfo: ", 0), 0u)
        << r.output;
    EXPECT_NE(r.output.find("running " + zentokBinary() + "\nworking dir " + dir.path() + "\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("configuration: a.ini\n"), std::string::npos);
    EXPECT_EQ(r.output.find("Using default ini file"), std::string::npos);
}

TEST(Entry, LastDashIWithAValueWinsAndEveryValueIsAnnounced) {
    TempDir dir;
    writeFile(dir.file("a.ini"), "coupler;runmode;daily\n");
    writeFile(dir.file("b.ini"), "coupler;runmode;single\n");
    RunResult r = runZentokIn(dir.path(), {"-i", "a.ini", "-i", "b.ini"});
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(countOf(r.output, "configuration: "), 2);
    EXPECT_NE(r.output.find("configuration: b.ini\n"), std::string::npos);
    EXPECT_EQ(r.output.find("*** ini error"), std::string::npos) << "a.ini is not loaded";

    // "-i -i b.ini": the value "-i" acts as an option too.
    r = runZentokIn(dir.path(), {"-i", "-i", "b.ini"});
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_NE(r.output.find("configuration: -i\nconfiguration: b.ini\n"), std::string::npos) << r.output;
}

TEST(Entry, DefaultPathComesFromTheProgramPath) {
    TempDir dir;
    // A program path with ".exe" twice: the first one and all after it become ".ini".
    std::string linkName = dir.file("tool.exe.d.exe");
    ASSERT_EQ(symlink(zentokBinary().c_str(), linkName.c_str()), 0);
    writeFile(dir.file("tool.ini"), "coupler;runmode;single\n");
    RunResult r = runProgram({linkName}, dir.path(), 20000);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_NE(r.output.find("Using default ini file '" + dir.file("tool.ini") + "'\n"), std::string::npos)
        << r.output;

    // Without ".exe" and with a trailing lone "-i": zentok.ini in the working directory.
    writeFile(dir.file("zentok.ini"), "coupler;runmode;single\n");
    r = runZentokIn(dir.path(), {"-i"});
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_NE(r.output.find("Using default ini file 'zentok.ini'\n"), std::string::npos) << r.output;
    EXPECT_EQ(r.exitCode, 0);
}

TEST(Entry, ConfigurationErrorsEndTheProgramWithoutACycle) {
    TempDir dir;
    std::string receivers;
    for (int i = 0; i <= kMaxReceivers; ++i) receivers += "receiver;" + std::to_string(i) + "\n";
    writeFile(dir.file("z.ini"), "coupler;runmode;single\n" + receivers + "dir;x\n");
    RunResult r = runZentokIn(dir.path(), {"-i", "z.ini"});
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitCode, 78) << "EX_CONFIG, not success";
    EXPECT_NE(r.output.find("*** ini error: receiver over limit\n"), std::string::npos);
    EXPECT_FALSE(fileExists(dir.file("zentok_states.csv"))) << "no cycle ran";
}

// The node fires in the first cycle and notifies its receiver, so a second
// cycle follows; it has nothing new to send and ends the run. Each cycle tries
// the closed port once and says so at log level 1, which counts the cycles.
TEST(Entry, MissingFileRunsEmptyUntilItAppearsAndThenLoadsIt) {
    TempDir dir;
    Process zentok;
    std::string log = dir.file("out.log");
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "later.ini"}, log, dir.path()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(zentok.running()) << "a missing file neither ends nor loads";
    writeFile(dir.file("later.ini"), "coupler;runmode;single\n");
    EXPECT_TRUE(zentok.waitForExit(5000))
        << "the created file was loaded and its single mode ended the program\n"
        << readFile(log);
    std::string out = readFile(log);
    EXPECT_EQ(countOf(out, "*** ini file 'later.ini': can't open: No such file or directory\n"), 1) << out;
}

namespace {

// Waits until `log` holds `count` loads (each load prints the stray dir line once).
bool waitForLoads(const std::string& log, int count) {
    for (int i = 0; i < 60; ++i) {
        if (countOf(readFile(log), "*** line ignored 'dir'\n") >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void setTimes(const std::string& path, time_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

}  // namespace

TEST(Entry, EveryWayOfChangingTheFileReloadsItOnceWhenItIsQuiet) {
    TempDir dir;
    std::string ini = dir.file("c.ini");
    const std::string config = "coupler;runmode;cycle\ncoupler;readinterval;1\ndir;x\ncoupler;retri;60\n";
    writeFile(ini, config);
    setTimes(ini, 1000000000);
    Process zentok;
    std::string log = dir.file("out.log");
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "c.ini"}, log, dir.path()));
    ASSERT_TRUE(waitForLoads(log, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(countOf(readFile(log), "*** line ignored 'dir'\n"), 1) << "its own reading is no change";

    // Copied over in place with the same size and the old times (cp -p): only the change time moves.
    writeFile(ini, config);
    setTimes(ini, 1000000000);
    EXPECT_TRUE(waitForLoads(log, 2)) << readFile(log);
    // Touched.
    setTimes(ini, time(nullptr) + 5);
    EXPECT_TRUE(waitForLoads(log, 3)) << readFile(log);
    // Replaced by rename with a file older than the one loaded (cp -p, a checkout).
    writeFile(dir.file("new.ini"), config);
    setTimes(dir.file("new.ini"), 900000000);
    ASSERT_EQ(rename(dir.file("new.ini").c_str(), ini.c_str()), 0);
    EXPECT_TRUE(waitForLoads(log, 4)) << readFile(log);

    // Written in pieces, a line every 20 ms: loaded once, whole. A half-written
    // runmode line would end the program with a configuration error.
    int fd = open(ini.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    for (const char* piece :
         {"coupler;run", "mode;cycle\n", "coupler;readinterval;1\n", "dir;x\n", "dir;x\n"}) {
        ASSERT_GT(write(fd, piece, strlen(piece)), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(fd);
    EXPECT_TRUE(waitForLoads(log, 6)) << readFile(log);  // one load, two dir lines
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::string out = readFile(log);
    EXPECT_EQ(countOf(out, "*** line ignored 'dir'\n"), 6) << out;
    EXPECT_EQ(countOf(out, "ini error"), 0) << out;
    EXPECT_TRUE(zentok.running()) << "cycle mode runs until stopped";

    // A new load into a new coupler: its run mode ends the program.
    writeFile(ini, "coupler;runmode;single\ncoupler;readinterval;1\n");
    EXPECT_TRUE(zentok.waitForExit(5000));
}

// Signals and reload: SIGHUP reloads at once, a file with an error is refused
// while a configuration runs, and a read of the file is no change.
TEST(Entry, SighupReloadsAndABrokenFileLeavesTheRunningConfigurationInForce) {
    TempDir dir;
    std::string ini = dir.file("c.ini");
    const std::string config = "coupler;runmode;cycle\ncoupler;readinterval;1\ndir;x\ncoupler;retri;60\n";
    writeFile(ini, config);
    // Later than any read, so under relatime every read moves the access time.
    setTimes(ini, time(nullptr) + 3600);
    Process zentok;
    std::string log = dir.file("out.log");
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "c.ini"}, log, dir.path()));
    ASSERT_TRUE(waitForLoads(log, 1));
    readFile(ini);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(countOf(readFile(log), "*** line ignored 'dir'\n"), 1) << "a read is no change\n"
                                                                     << readFile(log);

    ASSERT_EQ(kill(zentok.pid(), SIGHUP), 0);
    EXPECT_TRUE(waitForLoads(log, 2)) << readFile(log);
    EXPECT_TRUE(zentok.running()) << "SIGHUP reloads and does not end the program";
    EXPECT_EQ(countOf(readFile(log), "configuration 'c.ini' reloaded\n"), 1) << readFile(log);
    EXPECT_EQ(countOf(readFile(log), "*** warning: line 4: unknown setting 'coupler;retri'\n"), 2)
        << "said at the start and at the reload\n"
        << readFile(log);

    // A typo saved into the live file: refused once, and not tried again until saved anew.
    writeFile(ini, "coupler;runmode;cylce\ndir;x\n");
    for (int i = 0; i < 60 && countOf(readFile(log), "refused") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string out = readFile(log);
    EXPECT_EQ(countOf(out,
                      "*** ini error: configuration 'c.ini' refused, the running configuration stays in "
                      "force\n"),
              1)
        << out;
    EXPECT_TRUE(zentok.running()) << "monitoring goes on with the configuration in force";

    writeFile(ini, config);
    for (int i = 0; i < 60 && countOf(readFile(log), "reloaded") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(countOf(readFile(log), "configuration 'c.ini' reloaded\n"), 2) << readFile(log);
    zentok.stop();
}

TEST(Entry, UnreadableFileIsReportedOnceAndTriedAgainUntilItCanBeRead) {
    TempDir dir;
    std::string ini = dir.file("d.ini");
    ASSERT_EQ(mkdir(ini.c_str(), 0755), 0);  // there, but no file to read
    Process zentok;
    std::string log = dir.file("out.log");
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "d.ini"}, log, dir.path()));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(countOf(readFile(log), "can't open"), 1) << "said once, not once per try";
    ASSERT_EQ(rmdir(ini.c_str()), 0);
    writeFile(ini, "coupler;runmode;single\n");
    EXPECT_TRUE(zentok.waitForExit(5000)) << readFile(log);
}
