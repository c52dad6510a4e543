// Watching the watcher through build/zentok: the metrics file after a run
// with a read error, a delivered and a given-up notification, checked by
// promtool; the journal of the same run; the heartbeat while the device
// answers, while it is gone and when it is back.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "daemon/JournalReport.h"
#include "support/Peers.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// The value of the first sample of the metrics text matching `sample` (a regex), or -1.
long sampleValue(const std::string& text, const std::string& sample) {
    std::smatch found;
    if (!std::regex_search(text, found, std::regex("\n" + sample + " (\\d+)\n"))) return -1;
    return std::stol(found[1]);
}

void runFor(const std::string& dir, int seconds, const std::string& log) {
    Process zentok;
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, log, dir));
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    kill(zentok.pid(), SIGTERM);
    ASSERT_TRUE(zentok.waitForExit(12000));
}

// Of each episode of `node`: "R" its raise, "C" its clear, "D" a delivery, "G" a notice given up.
std::string episodeLetters(const JournalLines& lines, const std::string& node, int64_t episode) {
    std::string letters;
    for (const JournalRecord& record : lines.records) {
        if (record.node != node || record.episode != episode) continue;
        if (record.event == JournalEvent::Raised) letters += 'R';
        if (record.event == JournalEvent::Cleared) letters += 'C';
        if (record.event == JournalEvent::Delivered && record.receiver == "lo\"g\\x") letters += 'D';
        if (record.event == JournalEvent::GivenUp && record.receiver == "hook") letters += 'G';
    }
    return letters;
}

}  // namespace

TEST(WatchRun, MetricsFileAndJournalAfterAReadErrorADeliveryAndAFailure) {
    TempDir dir;
    PythonPeer peer(kMisbehavingModbusPeer, {"--sawtooth", "3000"}, 60);
    ASSERT_TRUE(peer.ready());
    // 300003 as an alarm (cleared by its alarm), 300001 without one (cleared
    // when it re-arms), holding register 2 answers with an exception.
    writeFile(dir.file("z.ini"),
              "coupler;readinterval;1\ncoupler;metrics;m.prom\ncoupler;journal\n"
              "source;plant\nadr;modbus;" +
                  peer.parameters() +
                  "\nnode;a;300003;high {{*}};tank;O:19999\nalarm;clear=19000\n"
                  "node;a;300001;rise {{*}};tank;O:999\nnode;a;400002;never;none;N\n"
                  "receiver;lo\"g\\x\nadr;file;alarms.csv\ndir;tank\n"
                  "receiver;hook\nadr;webhook;http://127.0.0.1:" +
                  std::to_string(freeLoopbackPort()) + "/h\ndir;tank\n");
    runFor(dir.path(), 8, dir.file("run.log"));

    std::string metrics = readFile(dir.file("m.prom"));
    EXPECT_EQ(sampleValue(metrics, "zentok_up"), 0) << "the stop says so\n" << metrics;
    EXPECT_GT(sampleValue(metrics, "zentok_source_read_errors_total\\{source=\"plant\"\\}"), 0) << metrics;
    EXPECT_GT(sampleValue(metrics,
                          "zentok_notifications_total\\{receiver=\"lo\\\\\"g\\\\\\\\x\",channel=\"file\","
                          "outcome=\"delivered\"\\}"),
              0)
        << metrics;
    EXPECT_GT(sampleValue(metrics,
                          "zentok_notifications_total\\{receiver=\"hook\",channel=\"webhook\","
                          "outcome=\"given_up\"\\}"),
              0)
        << metrics;

    JournalLines lines;
    lines.add(readFile(dir.file("zentok_journal.csv")));
    EXPECT_EQ(lines.skipped, 0);
    // Every whole episode in the run reads raise, one delivery, one given up, clear.
    for (const char* node : {"300003", "300001"}) {
        int whole = 0;
        for (const JournalRecord& record : lines.records) {
            if (record.node != node || record.event != JournalEvent::Cleared) continue;
            std::string letters = episodeLetters(lines, node, record.episode);
            EXPECT_TRUE(letters == "RDGC" || letters == "RGDC") << node << " " << letters;
            ++whole;
        }
        EXPECT_GE(whole, 1) << node << "\n" << readFile(dir.file("zentok_journal.csv"));
    }

    RunResult report = runZentokIn(dir.path(), {"report", "--since", "2026-01-01", "-i", "z.ini"});
    EXPECT_EQ(report.exitCode, 0) << report.output;
    EXPECT_NE(report.output.find("(" + std::to_string(lines.lines) + " lines, 0 skipped)"), std::string::npos)
        << report.output;

    RunResult check = runProgram({"/bin/sh", "-c",
                                  "command -v promtool >/dev/null || exit 77; "
                                  "promtool check metrics < m.prom"},
                                 dir.path(), 20000);
    if (check.exitCode == 77) GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
    EXPECT_EQ(check.exitCode, 0) << check.output << metrics;
}

TEST(WatchRun, HeartbeatPingsFailsWhileTheDeviceIsGoneAndComesBack) {
    TempDir dir;
    PythonPeer hook("webhook/recorder.py", {"--record", dir.file("hook.txt")}, 60);
    ASSERT_TRUE(hook.ready());
    int devicePort = freeLoopbackPort();
    auto startDevice = [&](Process& device) {
        ASSERT_TRUE(device.start({kPython, sourcePath("tests/peers/modbus/misbehaving_peer.py"), "--port",
                                  std::to_string(devicePort), "--lifetime", "60"}));
        ASSERT_TRUE(waitForPort(devicePort, 20000));
    };
    Process device;
    startDevice(device);
    writeFile(dir.file("z.ini"),
              "coupler;readinterval;1\ncoupler;heartbeat;http://127.0.0.1:" + std::to_string(hook.port()) +
                  "/hb;1\nsource;plant\nadr;modbus;tcp:127.0.0.1:" + std::to_string(devicePort) +
                  "\nnode;a;400100;x;none;N\n");
    Process zentok;
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, dir.file("run.log"), dir.path()));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    device.stop();
    std::this_thread::sleep_for(std::chrono::seconds(7));
    startDevice(device);
    // The reconnect waits out the connect back-off, up to 4 s.
    std::this_thread::sleep_for(std::chrono::seconds(8));
    kill(zentok.pid(), SIGTERM);
    ASSERT_TRUE(zentok.waitForExit(12000));

    std::string paths;
    std::string failBodies;
    std::ifstream record(dir.file("hook.txt"));
    for (std::string method, path, headers, body, rest;
         record >> method >> path >> headers >> body >> rest;) {
        bool failed = fromHex(path) == "/hb/fail";
        paths += failed ? 'F' : fromHex(path) == "/hb" ? 'P' : '?';
        if (failed) failBodies += fromHex(body) + "\n";
    }
    // Healthy, then /fail while the device is gone, then healthy again; one a second.
    EXPECT_TRUE(std::regex_match(paths, std::regex("P{2,}F{2,}P{2,}"))) << paths;
    EXPECT_GE(paths.size(), 12u) << paths;
    EXPECT_NE(failBodies.find("source plant not read since "), std::string::npos) << failBodies;
}

TEST(WatchRun, AFailingHeartbeatIsOneLineNeverAHoldUp) {
    TempDir dir;
    int closed = freeLoopbackPort();
    writeFile(dir.file("z.ini"), "coupler;readinterval;1\ncoupler;heartbeat;http://127.0.0.1:" +
                                     std::to_string(closed) + "/hb;1\nnode;a;x;{{*}};none;N\n");
    runFor(dir.path(), 4, dir.file("run.log"));
    std::string log = readFile(dir.file("run.log"));
    EXPECT_EQ(countOf(log, "heartbeat 'http://127.0.0.1:" + std::to_string(closed) + "/hb' failing, err '"),
              1)
        << log;
    EXPECT_EQ(countOf(log, "heartbeat::post"), 0) << log;

    // Nor does a ping the service never answers hold up a stop, as a
    // notification in flight would for up to 10 s.
    SilentListener silent;
    ASSERT_TRUE(silent.ok());
    writeFile(dir.file("z.ini"), "coupler;heartbeat;http://127.0.0.1:" + std::to_string(silent.port()) +
                                     "/hb;1\nnode;a;x;{{*}};none;N\n");
    Process zentok;
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, dir.file("silent.log"), dir.path()));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    kill(zentok.pid(), SIGTERM);
    EXPECT_TRUE(zentok.waitForExit(5000)) << readFile(dir.file("silent.log"));
}
