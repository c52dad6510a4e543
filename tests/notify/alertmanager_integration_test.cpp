// The Alertmanager channel against Debian's prometheus-alertmanager on
// 127.0.0.1, time-compressed: a resolve_timeout of 3 s and reposts every
// second. Two Alertmanagers and two recorders get every post; the webhook
// receiver of the first one (a recorder) tells what Alertmanager made of it.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "notify/HttpPost.h"
#include "notify/channels/AlertmanagerChannel.h"
#include "support/Peers.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"
#include "support/WorkingDirectory.h"

using namespace testsupport;

namespace {

constexpr const char* kAlertmanager = "/usr/bin/prometheus-alertmanager";

// The posts the recorder kept, as path and body.
std::vector<std::pair<std::string, std::string>> recorded(const std::string& file) {
    std::vector<std::pair<std::string, std::string>> posts;
    std::ifstream in(file);
    std::string line, method, path, headers, body;
    while (std::getline(in, line)) {
        std::istringstream columns(line);
        if (columns >> method >> path >> headers >> body) posts.emplace_back(fromHex(path), fromHex(body));
    }
    return posts;
}

int countWith(const std::vector<std::pair<std::string, std::string>>& posts, const std::string& path,
              const std::string& text) {
    int count = 0;
    for (const auto& post : posts)
        if (post.first == path && post.second.find(text) != std::string::npos) ++count;
    return count;
}

class Alertmanager {
  public:
    Alertmanager(const TempDir& dir, const std::string& name, const std::string& hook)
        : dir_(dir), name_(name) {
        writeFile(dir_.file(name + ".yml"),
                  "global:\n  resolve_timeout: 3s\n"
                  "route:\n  receiver: hook\n  group_by: [alertname, node]\n"
                  "  group_wait: 1s\n  group_interval: 1s\n  repeat_interval: 1h\n"
                  "receivers:\n- name: hook\n  webhook_configs:\n  - url: " +
                      hook + "\n    send_resolved: true\n");
    }
    // Stops by itself after two minutes, whatever becomes of the test.
    bool start() {
        return process_.start(
                   {"/usr/bin/timeout", "120", kAlertmanager, "--config.file=" + dir_.file(name_ + ".yml"),
                    "--storage.path=" + dir_.file(name_ + "-data"),
                    "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--cluster.listen-address="},
                   dir_.file(name_ + ".log")) &&
               waitForPort(port_, 20000);
    }
    void stop() { process_.stop(); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The alerts it holds active, as its API gives them.
    std::string activeAlerts() const {
        return runProgram({"/usr/bin/curl", "-s", url() + "/api/v2/alerts?active=true&silenced=false"},
                          "/tmp", 5000)
            .output;
    }

  private:
    const TempDir& dir_;
    std::string name_;
    int port_ = freeLoopbackPort();
    Process process_;
};

TEST(AlertmanagerTest, OneFiringOneResolvedAcrossResolveTimeoutsAndAnOutageEveryInstanceGetsEveryPost) {
    ASSERT_TRUE(fileExists(kAlertmanager)) << "prometheus-alertmanager is not installed";
    TempDir dir;
    WorkingDirectory inside(dir.path());
    int recorderPort = freeLoopbackPort();
    Process recorder;
    ASSERT_TRUE(recorder.start(
        {kPython, sourcePath("tests/peers/webhook/recorder.py"), "--port", std::to_string(recorderPort),
         "--record", dir.file("record.txt"), "--lifetime", "120"},
        dir.file("recorder.log")));
    ASSERT_TRUE(waitForPort(recorderPort, 10000));
    std::string recorderUrl = "http://127.0.0.1:" + std::to_string(recorderPort);
    Alertmanager first(dir, "am1", recorderUrl + "/am1");
    Alertmanager second(dir, "am2", recorderUrl + "/am2");
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(second.start());
    setAlertmanagerRepostForTesting(1);
    setHttpPostTimeoutsForTesting(1000, 3000);

    writeFile(dir.file("zentok.ini"),
              "source;press7\nadr;modbus;tcp:127.0.0.1:1502\n"
              "node;a;400001;Tank level high;alarm;O:100\ntag;tank_high\n"
              "receiver;oncall\nadr;alertmanager;" +
                  first.url() + "," + second.url() + "/api/v2/alerts," + recorderUrl + "/copy1," +
                  recorderUrl + "/copy2\ndir;alarm\n");
    auto coupler = std::make_unique<Coupler>();
    captured([&] { coupler->loadConfig(dir.file("zentok.ini").c_str()); });
    ASSERT_EQ(coupler->nodeCount, 1);
    Node& node = coupler->nodes[0];
    Receiver& receiver = coupler->receivers[0];

    // Ten seconds of alarm, three resolve timeouts, cycles of 250 ms; the
    // second Alertmanager is down from 3 s to 6 s.
    auto cycles = [&](int count) {
        for (int i = 0; i < count; ++i) {
            captured([&] {
                coupler->dispatchNotifications();
                coupler->recordOutcomes();
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    };
    node.active = true;
    node.sent = false;
    node.triggerTime = currentTime();
    cycles(12);
    second.stop();
    cycles(12);
    ASSERT_TRUE(second.start());
    cycles(12);
    std::string activeOnSecond = second.activeAlerts();
    int resolvedBeforeTheClear =
        countWith(recorded(dir.file("record.txt")), "/am1", "\"status\":\"resolved\"");
    node.active = false;
    node.alarmState.clearedEpisode = node.triggerTime;
    cycles(12);
    waitForSender();

    auto posts = recorded(dir.file("record.txt"));
    // The reposts brought the alarm back to the instance that was down.
    EXPECT_NE(activeOnSecond.find("\"tank_high\""), std::string::npos) << activeOnSecond;
    EXPECT_EQ(countWith(posts, "/am1", "\"status\":\"firing\""), 1) << readFile(dir.file("am1.log"));
    EXPECT_EQ(countWith(posts, "/am1", "\"status\":\"resolved\""), 1);
    EXPECT_EQ(resolvedBeforeTheClear, 0) << "resolved by a time-out, not by the clear";
    // Every instance is sent the same posts: the two copies match.
    std::vector<std::string> copy1, copy2;
    for (const auto& post : posts) {
        if (post.first == "/copy1/api/v2/alerts") copy1.push_back(post.second);
        if (post.first == "/copy2/api/v2/alerts") copy2.push_back(post.second);
    }
    EXPECT_GE(copy1.size(), 10u);
    EXPECT_EQ(copy1, copy2);

    // A late notice of that episode once the node began another would put
    // the node's one alert back to the old episode: it is delivered unsent.
    Notification late;
    late.sourceName = "press7";
    late.address = "400001";
    late.triggerTime = node.triggerTime;
    late.state = "cleared";
    node.active = true;
    node.sent = false;
    node.triggerTime += 100;
    cycles(1);
    waitForSender();
    size_t before = recorded(dir.file("record.txt")).size();
    auto delivery = std::make_shared<Delivery>("oncall#0");
    captured([&] { receiver.notify(late, delivery); });
    waitForSender();
    EXPECT_TRUE(delivery->delivered());
    EXPECT_EQ(recorded(dir.file("record.txt")).size(), before);
    setAlertmanagerRepostForTesting(0);
    setHttpPostTimeoutsForTesting(0, 0);
}

}  // namespace
