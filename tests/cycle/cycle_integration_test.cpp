// Whole cycles of build/zentok: states written after the reads, a restart that
// keeps the trigger time and does not notify again, and the run modes ending.
#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

std::string offlineConfig(const std::string& runMode) {
    // A modbus source on a closed loopback port: "!OFFLINE" reads 1 and N
    // fires. Each cycle tries the port once and says so at log level 1.
    return "coupler;runmode;" + runMode + "\ncoupler;loglevel;1\nsource;plant\nadr;modbus;tcp:127.0.0.1:" +
           std::to_string(freeLoopbackPort()) +
           "\nnode;a;!OFFLINE;plant unreachable {{*}};alarm;N\n"
           "receiver;log\nadr;file;alarms.csv\ndir;alarm\n";
}

// Field 3 (trigger time) of the states line of the node.
std::string triggerTimeOf(const std::string& states) {
    size_t first = states.find(';');
    size_t second = states.find(';', first + 1);
    size_t third = states.find(';', second + 1);
    if (third == std::string::npos) return "";
    return states.substr(second + 1, third - second - 1);
}

int cyclesOf(const RunResult& run) {
    return countOf(run.output, "-Connect (127.0.0.1:");
}

}  // namespace

TEST(CycleRun, OfflineNodeFiresOnceAndARestartDoesNotRepeatIt) {
    TempDir dir;
    writeFile(dir.file("z.ini"), offlineConfig("single"));
    RunResult first = runZentokIn(dir.path(), {"-i", "z.ini"});
    ASSERT_FALSE(first.timedOut) << first.output;
    std::string states = readFile(dir.file("zentok_states.csv"));
    ASSERT_EQ(states.rfind("\"plant\";\"!OFFLINE\";20", 0), 0u) << states;
    EXPECT_NE(states.find(";0;1\n"), std::string::npos) << "read result 0 and value 1: " << states;
    std::string fired = triggerTimeOf(states);
    EXPECT_EQ(fired.size(), 19u) << states;
    EXPECT_EQ(countOf(readFile(dir.file("alarms.csv")), "\n"), 1);

    RunResult second = runZentokIn(dir.path(), {"-i", "z.ini"});
    ASSERT_FALSE(second.timedOut) << second.output;
    std::string again = readFile(dir.file("zentok_states.csv"));
    EXPECT_EQ(triggerTimeOf(again), fired) << "the restart keeps the trigger time";
    EXPECT_EQ(countOf(readFile(dir.file("alarms.csv")), "\n"), 1) << "and sends nothing again";
}

TEST(CycleRun, TriggerModeGoesOnWhileCyclesNotifyAndEndsAfterAQuietOne) {
    TempDir dir;
    writeFile(dir.file("z.ini"), offlineConfig("trigger"));
    // First cycle notifies (the node fires), the second finds it already sent: the program ends.
    RunResult r = runZentokIn(dir.path(), {"-i", "z.ini"});
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(cyclesOf(r), 2) << r.output;
    EXPECT_EQ(countOf(readFile(dir.file("alarms.csv")), "\n"), 1);

    // After a restart the states file says sent: the first cycle is quiet.
    RunResult again = runZentokIn(dir.path(), {"-i", "z.ini"});
    ASSERT_FALSE(again.timedOut) << again.output;
    EXPECT_EQ(cyclesOf(again), 1) << again.output;
    EXPECT_EQ(countOf(readFile(dir.file("alarms.csv")), "\n"), 1);
}
