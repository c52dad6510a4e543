// The whole road from a value to the notifications, with build/zentok: a
// Modbus value over its threshold (pymodbus peer), or an "!OFFLINE" node on
// a closed or listening loopback port, reaching a file receiver and the
// server manager (PHP's built-in server with the recording pollapi.php).
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "support/Peers.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

std::string receivers(const std::string& host) {
    // The server manager comes first, so a failing post must not keep the
    // file receiver from its line.
    return "receiver;manager\ndir;alarm\n"
           "receiver;office\nadr;file;alarms_%Y.csv\ndir;alarm\n"
           "uplink;srvmgr;" +
           host + "\n";
}

std::string offlineConfig(int port, const std::string& host) {
    return "coupler;runmode;single\nsource;plant;secret\nadr;modbus;tcp:127.0.0.1:" + std::to_string(port) +
           "\nnode;a;!OFFLINE;plant unreachable ({{*}});alarm;N\n" + receivers(host);
}

std::string csvName() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char name[64];
    strftime(name, sizeof name, "alarms_%Y.csv", &local);
    return name;
}

std::string csvOf(const TempDir& dir) {
    std::string path = dir.file(csvName());
    return fileExists(path) ? readFile(path) : "";
}

RunResult run(const TempDir& dir) {
    RunResult result = runZentokIn(dir.path(), {"-i", "z.ini"}, 30000);
    EXPECT_FALSE(result.timedOut) << result.output;
    return result;
}

TEST(NotifyEndToEnd, ValueOverItsThresholdNotifiesEachChannelOnceAcrossRestarts) {
    PythonPeer plc(kPymodbusServer);
    ASSERT_TRUE(plc.ready()) << plc.log();
    PhpServer manager(kPollApiRecorder);
    ASSERT_TRUE(manager.started());
    TempDir dir;
    // Holding register 1 holds 120; the template also names register 3
    // (65535), which becomes a node of its own at load.
    writeFile(dir.file("z.ini"), "coupler;runmode;single\nsource;plant;secret\nadr;modbus;tcp:127.0.0.1:" +
                                     std::to_string(plc.port()) +
                                     "\nnode;a;400001;Level high: {{*}} (limit {{400003}});alarm;O:100\n" +
                                     receivers(manager.base()));

    RunResult first = run(dir);
    std::string csv = csvOf(dir);
    ASSERT_EQ(countOf(csv, "\n"), 1) << first.output;
    EXPECT_EQ(csv.rfind("\"plant\";\"400001\";", 0), 0u) << csv;
    EXPECT_NE(csv.find(";120;\"Level high: 120 (limit 65535)\"\n"), std::string::npos) << csv;
    EXPECT_EQ(
        manager.posts(),
        "{\"uri\":\"/pollapi.php\",\"post\":{\"cmd\":\"newmessage\",\"source\":\"plant\",\"pass\":\"secret\","
        "\"adr\":\"400001\",\"message\":\"Level high: 120 (limit 65535)\"}}\n")
        << first.output;
    EXPECT_EQ(
        countOf(first.output, "notifySrvMgr::notify, host " + manager.base() +
                                  ", source plant, node 400001, text 'Level high: 120 (limit 65535)'\n"),
        1)
        << first.output;

    // The node the template created is read and kept like any other.
    std::string states = readFile(dir.file("zentok_states.csv"));
    size_t created = states.find("\"plant\";\"400003\";");
    ASSERT_NE(created, std::string::npos) << states;
    EXPECT_EQ(states.substr(states.find('\n', created) - 6, 6), ";65535") << states;

    RunResult second = run(dir);
    EXPECT_EQ(countOf(csvOf(dir), "\n"), 1) << second.output;
    EXPECT_EQ(countOf(manager.posts(), "\n"), 1) << second.output;
}

TEST(NotifyEndToEnd, FallingAndRisingAgainFiresAgain) {
    PhpServer manager(kPollApiRecorder);
    ASSERT_TRUE(manager.started());
    TempDir dir;
    int port = freeLoopbackPort();
    writeFile(dir.file("z.ini"), offlineConfig(port, manager.base()));

    run(dir);  // the port is closed: 1, fired
    EXPECT_EQ(countOf(csvOf(dir), "\n"), 1);
    EXPECT_EQ(countOf(manager.posts(), "plant unreachable (1)"), 1);

    run(dir);  // still offline: already sent
    EXPECT_EQ(countOf(csvOf(dir), "\n"), 1);
    {
        SilentListener plc(port);
        ASSERT_TRUE(plc.ok());
        run(dir);  // reachable: 0, re-armed, nothing sent
    }
    EXPECT_EQ(countOf(csvOf(dir), "\n"), 1);
    EXPECT_EQ(countOf(manager.posts(), "\n"), 1);

    RunResult again = run(dir);  // offline once more: fires again
    EXPECT_EQ(countOf(csvOf(dir), "plant unreachable (1)"), 2) << again.output;
    EXPECT_EQ(countOf(manager.posts(), "plant unreachable (1)"), 2) << again.output;
}

TEST(NotifyEndToEnd, AServerManagerThatIsDownIsReportedAndTheNextReceiverStillGetsItsLine) {
    TempDir dir;
    std::string downHost = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
    writeFile(dir.file("z.ini"), offlineConfig(freeLoopbackPort(), downHost));
    RunResult result = run(dir);
    EXPECT_EQ(countOf(result.output, "notifySrvMgr::post, err '"), 1) << result.output;
    EXPECT_EQ(countOf(result.output, "url '" + downHost + "/pollapi.php'\n"), 1) << result.output;
    EXPECT_EQ(countOf(csvOf(dir), "\"plant unreachable (1)\"\n"), 1) << result.output;
}

}  // namespace

// The post outlasts the dispatch's 10-second wait; the program ends only
// when it is through, so the reply (or a failure line) still appears.
TEST(NotifyEndToEnd, APostStillRunningWhenTheCycleEndsIsFinishedBeforeTheProgramEnds) {
    PhpServer manager(kPollApiRecorder);
    ASSERT_TRUE(manager.started());
    TempDir dir;
    writeFile(dir.file("z.ini"), offlineConfig(freeLoopbackPort(), manager.base() + "/slow"));
    RunResult result = run(dir);
    EXPECT_EQ(countOf(manager.posts(), "plant unreachable (1)"), 1) << result.output;
    // libcurl writes the reply to standard output.
    EXPECT_EQ(countOf(result.output, "\nok\n"), 1) << result.output;
    EXPECT_EQ(countOf(result.output, "notifySrvMgr::post"), 0) << result.output;
}
