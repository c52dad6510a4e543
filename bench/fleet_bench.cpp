// A fleet on one machine: N couplers (100 by default), each in its own
// working directory as the template unit gives them, each reading its own
// simulated PLC (plantsim) at a 1 s interval and publishing to one local
// mosquitto broker. Measured over a window:
//   - the couplers' CPU together (utime + stime from /proc), in % of a core;
//   - each coupler's private memory (Private_Clean + Private_Dirty of
//     /proc/PID/smaps_rollup);
//   - the notices that reached a subscriber, and that none came twice;
//   - beside the fleet and under its load, the hand-over latency of this
//     build's channels: outbox write (with its fsync), then MQTT notify to
//     PUBACK and webhook notify to the 2xx answer, each over N connections.
//
//   bench_fleet [--couplers N] [--seconds S]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cycle/Outbox.h"
#include "notify/Notifier.h"
#include "notify/Sender.h"
#include "notify/channels/MqttChannel.h"
#include "notify/channels/WebhookChannel.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i)
        if (i == 14 || i == 15) ticks += std::atof(field.c_str());  // utime, stime
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double privateKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string name;
    double value = 0, total = 0;
    std::string unit;
    while (in >> name) {
        if (name == "Private_Clean:" || name == "Private_Dirty:") {
            in >> value >> unit;
            total += value;
        }
    }
    return total;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(std::ceil(p / 100.0 * values.size())) - 1;
    return values[std::min(at, values.size() - 1)];
}

double sinceMs(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Fleet {
    TempDir root;
    Process broker;
    int brokerPort = freeLoopbackPort();
    std::vector<std::unique_ptr<Process>> plants, couplers;
    Process subscriber;

    bool startBroker() {
        writeFile(root.file("mosquitto.conf"), "listener " + std::to_string(brokerPort) +
                                                   " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                                   "max_connections -1\n");
        return broker.start(
                   {"/usr/bin/timeout", "3600", "/usr/sbin/mosquitto", "-c", root.file("mosquitto.conf")},
                   root.file("broker.log")) &&
               waitForPort(brokerPort, 10000);
    }

    // Coupler i reads plant i; the plants start at different scenario times,
    // so the crossings of the fleet spread over the minute of a plant cycle.
    bool startCoupler(int i, int count) {
        int plantPort = freeLoopbackPort();
        auto plant = std::make_unique<Process>();
        if (!plant->start({binaryPath("tools/plantsim/plantsim"), "--port", std::to_string(plantPort),
                           "--start", std::to_string(60 * i / count), "--lifetime", "3600"},
                          "/dev/null"))
            return false;
        if (!waitForPort(plantPort, 10000)) return false;
        std::string dir = root.file("coupler" + std::to_string(i));
        mkdir(dir.c_str(), 0755);
        writeFile(dir + "/zentok.ini",
                  "coupler;runmode;cycle\ncoupler;readinterval;1\ncoupler;retry;600\n"
                  "source;plant\nadr;modbus;tcp:127.0.0.1:" +
                      std::to_string(plantPort) +
                      "\nnode;a;400001;Tank level high: {{*}} cm;alarm;O:100\n"
                      "receiver;central\nadr;mqtt;mqtt://127.0.0.1:" +
                      std::to_string(brokerPort) + "/fleet/c" + std::to_string(i) + "\ndir;alarm\n");
        auto coupler = std::make_unique<Process>();
        if (!coupler->start({zentokBinary(), "-i", "zentok.ini"}, dir + "/console.log", dir)) return false;
        plants.push_back(std::move(plant));
        couplers.push_back(std::move(coupler));
        return true;
    }

    int noticesReceived(int* repeated) const {
        std::ifstream in(root.file("notices.txt"));
        std::vector<std::string> seen;
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("fleet/c", 0) == 0 && line.find(" {\"text\"") != std::string::npos)
                seen.push_back(line);
        std::vector<std::string> unique = seen;
        std::sort(unique.begin(), unique.end());
        unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
        *repeated = static_cast<int>(seen.size() - unique.size());
        return static_cast<int>(seen.size());
    }
};

// Hand-overs of this build's channels while the fleet runs: an outbox
// write (what the cycle does before any hand-over), then notify to the
// delivery's settlement, for each of `count` receivers in turn.
struct HandOverFigures {
    std::vector<double> outboxMs, mqttMs, webhookMs;
};

double settleMs(Notifier& channel, const Notification& notification) {
    auto delivery = std::make_shared<Delivery>();
    uint64_t seen = settlementCount();
    Clock::time_point start = Clock::now();
    if (!channel.notify(notification, delivery)) return NAN;
    while (!delivery->settled() && sinceMs(start) < 30000) {
        int64_t nowMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
        waitForSettlement(nowMs + 100, seen);
        seen = settlementCount();
    }
    return delivery->delivered() ? sinceMs(start) : NAN;
}

HandOverFigures measureHandOvers(const Fleet& fleet, int count, int rounds) {
    HandOverFigures figures;
    TempDir dir;
    Process recorder;
    int hookPort = freeLoopbackPort();
    recorder.start({"/usr/bin/python3", sourcePath("tests/peers/webhook/recorder.py"), "--port",
                    std::to_string(hookPort), "--record", dir.file("posts.txt"), "--lifetime", "3600"},
                   dir.file("recorder.log"));
    waitForPort(hookPort, 10000);
    Notification notification;
    notification.sourceName = "plant";
    notification.address = "400001";
    notification.value = 101;
    notification.triggerTime = std::time(nullptr);
    notification.text = "Tank level high: 101 cm";

    std::vector<std::unique_ptr<MqttChannel>> mqtt;
    std::vector<std::unique_ptr<WebhookChannel>> hooks;
    for (int i = 0; i < count; ++i) {
        std::string mqttLine =
            "mqtt://127.0.0.1:" + std::to_string(fleet.brokerPort) + "/bench/r" + std::to_string(i);
        mqtt.push_back(std::make_unique<MqttChannel>(&mqttLine[0], "bench"));
        mqtt.back()->start();
        std::string hookLine = "http://127.0.0.1:" + std::to_string(hookPort) + "/hook" + std::to_string(i);
        hooks.push_back(std::make_unique<WebhookChannel>(&hookLine[0], "bench"));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the connections are up
    Outbox box(dir.file("zentok_outbox.csv"));
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < count; ++i) {
            OutboxEntry entry;
            entry.receiver = "bench";
            entry.source = "plant";
            entry.address = "400001";
            entry.text = "Tank level high: 101 cm";
            entry.triggerTime = notification.triggerTime + round * count + i;
            Clock::time_point start = Clock::now();
            box.add(entry);
            box.save();
            figures.outboxMs.push_back(sinceMs(start));
            box.entries().clear();
            figures.mqttMs.push_back(settleMs(*mqtt[i], notification));
            figures.webhookMs.push_back(settleMs(*hooks[i], notification));
        }
    }
    return figures;
}

void printSpread(const char* what, const std::vector<double>& values) {
    std::vector<double> valid;
    for (double v : values)
        if (!std::isnan(v)) valid.push_back(v);
    std::printf("%-34s n %4zu (failed %zu)  p50 %7.2f ms  p99 %7.2f ms  max %7.2f ms\n", what, valid.size(),
                values.size() - valid.size(), percentile(valid, 50), percentile(valid, 99),
                percentile(valid, 100));
}

}  // namespace

int main(int argc, char** argv) {
    int count = 100, seconds = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--couplers") == 0) count = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    }
    Fleet fleet;
    if (!fleet.startBroker()) {
        std::fprintf(stderr, "bench_fleet: mosquitto did not start\n");
        return 1;
    }
    fleet.subscriber.start(
        {"/usr/bin/timeout", "3600", "/usr/bin/mosquitto_sub", "-p", std::to_string(fleet.brokerPort), "-v",
         "-q", "1", "-t", "fleet/+", "-t", "fleet/+/status"},
        fleet.root.file("notices.txt"));
    for (int i = 0; i < count; ++i)
        if (!fleet.startCoupler(i, count)) {
            std::fprintf(stderr, "bench_fleet: coupler %d did not start\n", i);
            return 1;
        }
    std::printf("fleet: %d couplers, %d plantsims, one mosquitto; settling 10 s, then %d s measured\n", count,
                count, seconds);
    std::this_thread::sleep_for(std::chrono::seconds(10));

    std::vector<double> cpuStart;
    for (auto& coupler : fleet.couplers) cpuStart.push_back(cpuSeconds(coupler->pid()));
    int repeatedBefore = 0;
    int noticesBefore = fleet.noticesReceived(&repeatedBefore);
    Clock::time_point windowStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double wall = sinceMs(windowStart) / 1000.0;
    double cpu = 0;
    std::vector<double> memory;
    for (size_t i = 0; i < fleet.couplers.size(); ++i) {
        cpu += cpuSeconds(fleet.couplers[i]->pid()) - cpuStart[i];
        memory.push_back(privateKiB(fleet.couplers[i]->pid()));
    }
    int repeated = 0;
    int notices = fleet.noticesReceived(&repeated) - noticesBefore;
    std::printf("couplers' CPU together: %.2f %% of a core (%.3f %% each)\n", 100.0 * cpu / wall,
                100.0 * cpu / wall / count);
    std::printf("private memory per coupler: median %.0f KiB, max %.0f KiB\n", percentile(memory, 50),
                percentile(memory, 100));
    std::printf("notices at the subscriber in the window: %d (%.1f per coupler-minute), repeated lines %d\n",
                notices, notices / (count * wall / 60.0), repeated);

    HandOverFigures handOvers = measureHandOvers(fleet, count, 3);
    printSpread("outbox write (fsync)", handOvers.outboxMs);
    printSpread("MQTT notify -> PUBACK", handOvers.mqttMs);
    printSpread("webhook notify -> 2xx", handOvers.webhookMs);
    sender().shutdown();
    return 0;
}
