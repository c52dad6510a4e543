// Proof that the chain is alive, end to end with build/zentok: a device that
// stops answering (its process stopped, its socket still open) is one
// "!OFFLINE" raise with stale values, and one clear once it answers again;
// a daily drill that a receiver cannot deliver is one alarm to the others.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// Continues a stopped process whatever the test's outcome, so it can end.
struct Continued {
    pid_t pid;
    ~Continued() { kill(pid, SIGCONT); }
};

bool holds(const std::string& path, const std::string& text) {
    return contentOf(path).find(text) != std::string::npos;
}

// The stopped device still takes a connection within a second: its kernel
// answers for it until the backlog is full.
bool takesConnections(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval second{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool taken = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return taken;
}

// The posts the recorder saw whose body holds `text`; it keeps each body
// hex-encoded, one post a line.
int postsWith(const std::string& recordFile, const std::string& text) {
    std::string needle, line;
    char pair[3];
    for (unsigned char c : text) needle += (std::snprintf(pair, sizeof pair, "%02x", c), pair);
    std::istringstream lines(contentOf(recordFile));
    int count = 0;
    while (std::getline(lines, line)) count += line.find(needle) != std::string::npos ? 1 : 0;
    return count;
}

// "HH:MM:SS" of the local time `seconds` from now.
std::string localTimeIn(int seconds) {
    time_t at = time(nullptr) + seconds;
    struct tm local {};
    localtime_r(&at, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(ChainAlive, AStoppedDeviceIsOneOfflineRaiseWithStaleValuesAndOneClear) {
    TempDir dir;
    int port = freeLoopbackPort();
    Process plant;
    ASSERT_TRUE(plant.start({binaryPath("tools/plantsim/plantsim"), "--port", std::to_string(port), "--speed",
                             "0", "--lifetime", "120"},
                            dir.file("plantsim.log")));
    ASSERT_TRUE(waitForPort(port, 10000)) << contentOf(dir.file("plantsim.log"));
    writeFile(dir.file("z.ini"),
              "coupler;runmode;cycle\ncoupler;readinterval;1\ncoupler;metrics;z.prom\ncoupler;journal;j.csv\n"
              "source;plant\nadr;modbus;tcp:127.0.0.1:" +
                  std::to_string(port) +
                  "\nnode;a;!OFFLINE;PLC unreachable;link;N\nalarm;on=2s;off=2s;normal=PLC reachable again\n"
                  "node;a;400001;Level {{*}};link;O:100000\n"
                  "node;a;400001;Level implausible: {{*}};link;R:0:50\n"
                  "receiver;log\nadr;file;alarms.csv\ndir;link\n");
    Process zentok;
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, dir.file("zentok.log"), dir.path()));
    const std::string metrics = dir.file("z.prom"), alarms = dir.file("alarms.csv");
    const std::string level = "zentok_node_quality{source=\"plant\",node=\"400001\",quality=";
    ASSERT_TRUE(waitUntil([&] { return holds(metrics, level + "\"good\"} 1"); }, 20000))
        << contentOf(dir.file("zentok.log"));

    Continued guard{plant.pid()};
    ASSERT_EQ(kill(plant.pid(), SIGSTOP), 0);
    auto stopped = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil([&] { return holds(alarms, "PLC unreachable"); }, 60000))
        << contentOf(dir.file("zentok.log"));
    std::printf("[ figure   ] !OFFLINE raised %.1f s after the device stopped answering\n",
                secondsSince(stopped));
    // Raised because nothing answers, not because connects came to be refused.
    EXPECT_TRUE(takesConnections(port));
    EXPECT_TRUE(waitUntil([&] { return holds(metrics, level + "\"stale\"} 1"); }, 20000))
        << contentOf(metrics);

    ASSERT_EQ(kill(plant.pid(), SIGCONT), 0);
    auto continued = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil([&] { return holds(alarms, "PLC reachable again"); }, 60000))
        << contentOf(dir.file("zentok.log"));
    std::printf("[ figure   ] recovered %.1f s after the device answered again\n", secondsSince(continued));
    EXPECT_TRUE(waitUntil([&] { return holds(metrics, level + "\"good\"} 1"); }, 20000))
        << contentOf(metrics);
    waitUntil([] { return false; }, 3000);  // nothing more may follow
    std::string sent = contentOf(alarms);
    EXPECT_EQ(countOf(sent, "PLC unreachable"), 1) << sent;
    EXPECT_EQ(countOf(sent, "PLC reachable again"), 1) << sent;
    // The level out of its sensor's range stayed one instrument fault through the outage.
    EXPECT_EQ(countOf(sent, "Level implausible: 70"), 1) << sent;
    std::string journal = contentOf(dir.file("j.csv"));
    EXPECT_EQ(countOf(journal, ";sensor suspect;"), 1) << journal;
    EXPECT_EQ(countOf(journal, ";raised;"), 1) << "!OFFLINE alone: " << journal;
    zentok.stop();
}

TEST(ChainAlive, ADrillThatCannotBeDeliveredIsEscalatedOnceToTheOtherReceivers) {
    TempDir dir;
    int port = freeLoopbackPort();
    Process recorder;
    ASSERT_TRUE(
        recorder.start({kPython, sourcePath("tests/peers/webhook/recorder.py"), "--port",
                        std::to_string(port), "--record", dir.file("record.txt"), "--lifetime", "120"},
                       dir.file("recorder.log")));
    ASSERT_TRUE(waitForPort(port, 10000)) << contentOf(dir.file("recorder.log"));
    writeFile(dir.file("z.ini"),
              "coupler;runmode;cycle\ncoupler;readinterval;1\ncoupler;retry;5s\n"
              "coupler;metrics;z.prom\ncoupler;journal;j.csv\n"
              "receiver;chat\nadr;webhook;http://127.0.0.1:" +
                  std::to_string(port) +
                  "/hooks/chat\ndir;g\n"
                  "receiver;pager\nadr;webhook;http://127.0.0.1:" +
                  std::to_string(freeLoopbackPort()) +
                  "/down\ndir;g\n"
                  "receiver;log\nadr;file;log.csv\ndir;g\n"
                  "drill;*;" +
                  localTimeIn(4) + ";shift drill\n");
    Process zentok;
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, dir.file("zentok.log"), dir.path()));
    auto started = std::chrono::steady_clock::now();
    const std::string record = dir.file("record.txt"), log = dir.file("log.csv"),
                      metrics = dir.file("z.prom");
    ASSERT_TRUE(waitUntil([&] { return holds(log, "Drill failed: receiver pager"); }, 60000))
        << contentOf(dir.file("zentok.log"));
    std::printf("[ figure   ] the undelivered drill was escalated %.1f s after the start\n",
                secondsSince(started));
    ASSERT_TRUE(waitUntil([&] { return postsWith(record, "Drill failed: receiver pager") > 0; }, 20000))
        << contentOf(dir.file("zentok.log"));
    EXPECT_TRUE(waitUntil([&] { return holds(metrics, "zentok_drill_ok{receiver=\"pager\"} 0"); }, 20000))
        << contentOf(metrics);
    EXPECT_TRUE(holds(metrics, "zentok_drill_ok{receiver=\"chat\"} 1")) << contentOf(metrics);
    waitUntil([] { return false; }, 3000);  // nothing more may follow
    // Each working receiver had its own drill and the one alarm of the failed one.
    EXPECT_EQ(countOf(contentOf(log), "shift drill"), 1);
    EXPECT_EQ(countOf(contentOf(log), "Drill failed"), 1);
    EXPECT_EQ(postsWith(record, "shift drill"), 1);
    EXPECT_EQ(postsWith(record, "Drill failed"), 1);
    // A restart the same day finds the drills recorded: none is sent again.
    zentok.stop();
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, dir.file("zentok2.log"), dir.path()));
    waitUntil([] { return false; }, 3000);
    EXPECT_EQ(countOf(contentOf(log), "shift drill"), 1) << contentOf(dir.file("zentok2.log"));
    std::string journal = contentOf(dir.file("j.csv"));
    EXPECT_EQ(countOf(journal, ";drill;"), 3) << journal;
    EXPECT_EQ(countOf(journal, ";drill failed;"), 1) << journal;
    EXPECT_EQ(countOf(journal, ";raised;"), 0) << journal;
    zentok.stop();
}
