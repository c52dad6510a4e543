// The sender: its bound on transfers in flight and its lanes, and, through
// build/zentok, that no receiver holds up the read cycle, that an outcome is
// recorded as it settles, and that a stop during a drain keeps its time.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "base/Clock.h"
#include "notify/Sender.h"
#include "support/MosquittoBroker.h"
#include "support/Peers.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {
// Counts how many transfers run at once, overall and per lane.
struct Occupancy {
    std::mutex mutex;
    int running = 0;
    std::map<std::string, int> perLane;
    int mostPerLane = 0;
    int finished = 0;
};

// A GET to a listener that never answers, ended by its own time limit.
class HangingTransfer : public Transfer {
  public:
    HangingTransfer(int port, std::string lane, Occupancy* occupancy)
        : lane_(std::move(lane)), occupancy_(occupancy), curl_(curl_easy_init()) {
        url_ = "http://127.0.0.1:" + std::to_string(port) + "/";
        curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, 700L);
    }
    ~HangingTransfer() override { curl_easy_cleanup(curl_); }

    CURL* start() override {
        std::lock_guard<std::mutex> lock(occupancy_->mutex);
        occupancy_->running++;
        int inLane = ++occupancy_->perLane[lane_];
        if (inLane > occupancy_->mostPerLane) occupancy_->mostPerLane = inLane;
        return curl_;
    }
    bool finish(CURLcode) override {
        std::lock_guard<std::mutex> lock(occupancy_->mutex);
        occupancy_->running--;
        occupancy_->perLane[lane_]--;
        occupancy_->finished++;
        return false;
    }

  private:
    std::string lane_;
    Occupancy* occupancy_;
    CURL* curl_;
    std::string url_;
};

// ThreadSanitizer runs a background thread of its own in every process.
#if defined(__SANITIZE_THREAD__)
constexpr int kRuntimeThreads = 1;
#else
constexpr int kRuntimeThreads = 0;
#endif

int threadsOf(pid_t pid) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        (void)entry;
        ++count;
    }
    return count;
}

// "YYYY-MM-DD hh:mm:ss" local time, as the outbox file writes times.
std::string localStamp(time_t when) {
    struct tm local {};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace

TEST(Sender, ADrainKeepsTheBoundAndOneTransferPerReceiver) {
    SilentListener silent(0, 64);
    ASSERT_TRUE(silent.ok());
    Occupancy occupancy;
    sender().resetPeakRunning();
    // 24 receivers with one notification each, and one receiver with four.
    for (int i = 0; i < 24; ++i)
        ASSERT_TRUE(sender().submit(
            "r" + std::to_string(i),
            std::make_unique<HangingTransfer>(silent.port(), "r" + std::to_string(i), &occupancy)));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(
            sender().submit("busy", std::make_unique<HangingTransfer>(silent.port(), "busy", &occupancy)));
    EXPECT_TRUE(waitUntil([&] { return sender().peakRunning() == Sender::kMaxRunning; }, 5000));
    ASSERT_TRUE(waitForSender(30000));
    EXPECT_EQ(sender().peakRunning(), Sender::kMaxRunning);
    EXPECT_EQ(occupancy.finished, 28);
    EXPECT_EQ(occupancy.mostPerLane, 1);

    // A stop drops what waits and abandons what runs: nothing is finished.
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(sender().submit("", std::make_unique<HangingTransfer>(silent.port(), "", &occupancy)));
    sender().dropQueued();
    EXPECT_FALSE(sender().submit("", std::make_unique<HangingTransfer>(silent.port(), "", &occupancy)));
    sender().shutdown();
    EXPECT_EQ(sender().pending(), 0);
    EXPECT_EQ(occupancy.finished, 28);
    // Afterwards it takes transfers again.
    EXPECT_TRUE(sender().submit("", std::make_unique<HangingTransfer>(silent.port(), "", &occupancy)));
    EXPECT_TRUE(waitForSender(5000));
    sender().shutdown();
}

// Node a fires at every rise of 300001 and posts to a webhook that takes the
// connection and never answers; node b rises half a period later and goes to
// a file. Each read comes on time and every rise of b is written.
TEST(SenderRun, AHangingReceiverDelaysNeitherTheNextReadNorAnotherNodesAlarm) {
    TempDir dir;
    SilentListener silent;
    ASSERT_TRUE(silent.ok());
    PythonPeer peer(kMisbehavingModbusPeer, {"--sawtooth", "4000"}, 60);
    ASSERT_TRUE(peer.ready());
    writeFile(dir.file("z.ini"),
              "coupler;runmode;cycle\ncoupler;readinterval;1\ncoupler;loglevel;9\n"
              "source;plant\nadr;modbus;" +
                  peer.parameters() +
                  "\nnode;a;300001;a {{*}};hook;O:100\nnode;a;300002;b {{*}};log;O:100\n"
                  "receiver;hook\nadr;webhook;http://127.0.0.1:" +
                  std::to_string(silent.port()) +
                  "/hook\ndir;hook\n"
                  "receiver;log\nadr;file;alarms.csv\ndir;log\n");
    Process zentok;
    const std::string log = dir.file("out.log");
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, log, dir.path()));
    std::this_thread::sleep_for(std::chrono::seconds(14));
    kill(zentok.pid(), SIGKILL);
    ASSERT_TRUE(zentok.waitForExit(5000));

    const std::string out = contentOf(log);
    // The later rises of a wait behind the hanging post: a receiver hears of
    // one node's notices in the order they were decided.
    EXPECT_EQ(countOf(out, "notifyWebhook::notify"), 1) << out;
    // One read a second: no two cycle starts more than 2 s apart.
    const std::regex cycle("(\\d\\d):(\\d\\d):(\\d\\d) coupler, readinterval 1s completed");
    std::vector<int> starts;
    for (std::sregex_iterator it(out.begin(), out.end(), cycle), end; it != end; ++it)
        starts.push_back(std::stoi((*it)[1]) * 3600 + std::stoi((*it)[2]) * 60 + std::stoi((*it)[3]));
    ASSERT_GE(starts.size(), 11u) << out;
    for (size_t i = 1; i < starts.size(); ++i)
        EXPECT_LE((starts[i] - starts[i - 1] + 86400) % 86400, 2) << out;
    // Every rise of b from its first to its last, none missed.
    std::set<int> rises;
    const std::string lines = contentOf(dir.file("alarms.csv"));
    const std::regex rise("b (\\d+)");
    for (std::sregex_iterator it(lines.begin(), lines.end(), rise), end; it != end; ++it)
        rises.insert(std::stoi((*it)[1]));
    ASSERT_GE(rises.size(), 3u) << lines;
    EXPECT_EQ(static_cast<int>(rises.size()), *rises.rbegin() - *rises.begin() + 1) << lines;
}

// A receiver that answers after 12 s: its entry leaves the outbox file as
// soon as the answer is in, not at the next cycle a minute later. While it
// waits, a program runs and an MQTT connection is open: all of them on the
// sender's one thread, beside the main thread and the source's worker.
TEST(SenderRun, ALateDeliveryLeavesTheOutboxAtOnce) {
    TempDir dir;
    TempDir hook;
    Process recorder;
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    int port = freeLoopbackPort();
    ASSERT_TRUE(
        recorder.start({kPython, sourcePath("tests/peers/webhook/recorder.py"), "--port",
                        std::to_string(port), "--record", hook.file("record.txt"), "--lifetime", "60"}));
    ASSERT_TRUE(waitForPort(port, 10000));
    writeFile(dir.file("z.ini"), "coupler;runmode;cycle\ncoupler;readinterval;60\n" + closedSource() +
                                     "node;a;!OFFLINE;plant unreachable;alarm;N\n"
                                     "receiver;hook\nadr;webhook;http://127.0.0.1:" +
                                     std::to_string(port) +
                                     "/delay/12000\ndir;alarm\n"
                                     "receiver;bus\nadr;mqtt;" +
                                     broker.url("plant") +
                                     "\ndir;alarm\n"
                                     "receiver;run\nadr;exec;/bin/sleep 5\ndir;alarm\n");
    Process zentok;
    const std::string log = dir.file("out.log");
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, log, dir.path()));
    ASSERT_TRUE(waitUntil([&] { return !contentOf(hook.file("record.txt")).empty(); }, 10000))
        << contentOf(log);
    auto received = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        waitUntil([&] { return countOf(contentOf(log), "notifyMqtt, receiver bus: connected") == 1; }, 5000))
        << contentOf(log);
    EXPECT_EQ(threadsOf(zentok.pid()), 3 + kRuntimeThreads) << contentOf(log);
    EXPECT_NE(contentOf(dir.file("zentok_outbox.csv")).find("\"hook\""), std::string::npos);
    ASSERT_TRUE(waitUntil([&] { return contentOf(dir.file("zentok_outbox.csv")).empty(); }, 14000))
        << contentOf(log);
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - received);
    EXPECT_GE(left.count(), 11000);
    EXPECT_TRUE(zentok.running());
    kill(zentok.pid(), SIGTERM);
    ASSERT_TRUE(zentok.waitForExit(5000));
}

// A backlog for three receivers that never answer: a stop ends within its
// 10 s and every entry stays for the next start.
TEST(SenderRun, AStopDuringADrainEndsInTimeAndKeepsTheBacklog) {
    TempDir dir;
    SilentListener silent(0, 32);
    ASSERT_TRUE(silent.ok());
    std::string config = "coupler;runmode;cycle\ncoupler;readinterval;1\n" + closedSource() +
                         "node;a;400001;never;quiet;O:1000000\n";
    std::string outbox;
    const std::string firedAt = localStamp(time(nullptr) - 5);
    for (const char* name : {"h1", "h2", "h3"}) {
        config += std::string("receiver;") + name +
                  "\nadr;webhook;http://127.0.0.1:" + std::to_string(silent.port()) + "/" + name +
                  "\ndir;alarm\n";
        for (int i = 0; i < 20; ++i)
            outbox += std::string("\"") + name + "\";\"plant\";\"" + std::to_string(400100 + i) + "\";" +
                      firedAt + ";\"backlog " + std::to_string(i) + "\";0;;" + std::to_string(i) + ";0\n";
    }
    writeFile(dir.file("z.ini"), config);
    writeFile(dir.file("zentok_outbox.csv"), outbox);
    Process zentok;
    const std::string log = dir.file("out.log");
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, log, dir.path()));
    ASSERT_TRUE(waitUntil([&] { return countOf(contentOf(log), "notifyWebhook::notify") == 60; }, 10000))
        << contentOf(log);
    auto stopped = std::chrono::steady_clock::now();
    kill(zentok.pid(), SIGTERM);
    ASSERT_TRUE(zentok.waitForExit(14000)) << contentOf(log);
    auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - stopped);
    EXPECT_LE(took.count(), 12);
    EXPECT_EQ(zentok.exitCode(), 0);
    EXPECT_EQ(countOf(contentOf(dir.file("zentok_outbox.csv")), "\"backlog "), 60);
}
